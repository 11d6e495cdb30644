// fuzz_host.h - a checking host for the fuzz targets.
//
// Answers every command with a reply chosen by the target (from the fuzz
// input), keeps each reply as a fresh heap text of exactly its size so that
// an over-read hits a redzone, and aborts on any break of the reply rule:
// a reply handed back twice, a reply to a command other than "TG", "XI" or
// "SD" handed back, a reply changed by the script, a notify type other than
// 0 and 5, or any command after "AS".
#ifndef VARNIK_FUZZ_HOST_H
#define VARNIK_FUZZ_HOST_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vesk_host_abi.h"

[[noreturn]] inline void fuzzFail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, what)                                  \
    do {                                                             \
        if (!(condition)) fuzzFail(__FILE__, __LINE__, (what));      \
    } while (0)

class FuzzHost : public vesk_client_callback {
public:
    // Chooses the reply to one command; nullopt is a null reply.
    using ReplySource = std::function<std::optional<std::string>(const std::string& command)>;

    explicit FuzzHost(ReplySource source) : source_(std::move(source)) {}

    ~FuzzHost() override {
        for (auto& entry : live_) delete[] entry.first;
        for (auto& entry : kept_) {
            FUZZ_CHECK(std::strcmp(entry.first, entry.second.c_str()) == 0,
                       "script changed an ignored reply");
            delete[] entry.first;
        }
    }

    char* notify(void* data, int type) override {
        if (type == VESK_NOTIFY_RELEASE) {
            FUZZ_CHECK(data != nullptr, "script handed back null");
            char* reply = static_cast<char*>(data);
            auto it = live_.find(reply);
            FUZZ_CHECK(it != live_.end(), "script handed back a text that is no live reply "
                                          "(handed back twice, or an ignored reply)");
            FUZZ_CHECK(std::strcmp(reply, it->second.text.c_str()) == 0,
                       "script changed a reply before handing it back");
            delete[] reply;
            live_.erase(it);
            ++released;
            return nullptr;
        }
        FUZZ_CHECK(type == VESK_NOTIFY_COMMAND, "script called the host with type " +
                                                    std::to_string(type));
        FUZZ_CHECK(data != nullptr, "script sent a null command");
        const std::string command(static_cast<const char*>(data));
        FUZZ_CHECK(!closed, "command after AS: " + command);
        if (command == "AS") closed = true;
        commands.push_back(command);

        const std::optional<std::string> answer = source_(command);
        if (!answer) return nullptr;
        char* text = new char[answer->size() + 1];
        std::memcpy(text, answer->c_str(), answer->size() + 1);
        const std::string word = command.substr(0, 2);
        if (word == "TG" || word == "XI" || word == "SD") {
            live_[text] = Reply{command, *answer};
        } else {
            kept_.emplace_back(text, *answer);  // the script must neither read nor return it
        }
        return text;
    }

    // Every reading command uses its reply and hands it back before it
    // returns, so between two notifications no reply may be outstanding.
    void checkNoOutstandingReply() const {
        FUZZ_CHECK(live_.empty(), "reply to " + live_.begin()->second.command + " never handed back");
    }

    std::vector<std::string> commands;
    bool closed = false;
    int released = 0;

private:
    struct Reply {
        std::string command;
        std::string text;
    };
    ReplySource source_;
    std::map<char*, Reply> live_;
    std::vector<std::pair<char*, std::string>> kept_;
};

// A pointer-sized value that must never be dereferenced by the script.
inline void* poisonPointer() { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x10)); }

#endif  // VARNIK_FUZZ_HOST_H
