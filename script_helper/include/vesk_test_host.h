// vesk_test_host.h - a recording fake host for a component's unit tests.
//
// Header only, standard library only: a test creates its component on a
// vesk_test_host, drives it with the notifications a host sends (parent
// requests, driver updates, timer ticks, control events) and checks the
// commands it sent. The fake host answers reading commands ("SD", "TG", "XI")
// with the replies the test gave, takes back what the component hands back,
// and notes every break of the reply rule:
//
//     vesk_test_host host;
//     host.reply("SD 'cam1'", "3 7");
//     Mirror mirror(&host, "");
//     vesk_test::param(mirror, "instance=cam1");
//     if (!host.sent("GR 3 7 7")) ...
//     vesk_test::gpi(mirror, 3, 7, 1);
//     if (host.lastControlText("State") != "1") ...
//
// Everything runs on the test's thread: the component's commands reach the
// fake host inside the call that provoked them.
#ifndef VESK_TEST_HOST_H
#define VESK_TEST_HOST_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vesk_host_abi.h"

class vesk_test_host : public vesk_client_callback {
public:
    vesk_test_host() = default;
    vesk_test_host(const vesk_test_host&) = delete;
    vesk_test_host& operator=(const vesk_test_host&) = delete;
    ~vesk_test_host() override {
        for (auto& live : live_) delete[] live.first;
    }

    // Answers the command `command` exactly with `text` (nullopt: no reply).
    void reply(const std::string& command, std::optional<std::string> text) {
        replies_[command] = std::move(text);
    }

    // Commands received, in order; clear() forgets them.
    std::vector<std::string> commands;
    void clear() { commands.clear(); }
    // Whether `command` was sent since the last clear().
    bool sent(const std::string& command) const {
        return std::find(commands.begin(), commands.end(), command) != commands.end();
    }
    // The value of the last "TP 'text=VALUE' 'PANEL' 'CONTROL'" for the
    // control, or nullopt when none was sent since the last clear().
    std::optional<std::string> lastControlText(const std::string& control,
                                               const std::string& property = "text",
                                               const std::string& panel = "1") const {
        const std::string head = "TP '" + property + "=";
        const std::string tail = "' '" + panel + "' '" + control + "'";
        for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
            if (it->size() >= head.size() + tail.size() && it->compare(0, head.size(), head) == 0 &&
                it->compare(it->size() - tail.size(), tail.size(), tail) == 0) {
                return it->substr(head.size(), it->size() - head.size() - tail.size());
            }
        }
        return std::nullopt;
    }

    // Breaks of the reply rule: a reply handed back twice or never, a text
    // handed back that was no reply, a command after "AS".
    std::vector<std::string> violations() const {
        std::vector<std::string> all = violations_;
        for (const auto& live : live_) all.push_back("reply to " + live.second + " not handed back");
        return all;
    }

    char* notify(void* data, int type) override {
        if (type == VESK_NOTIFY_RELEASE) {
            const auto it = std::find_if(live_.begin(), live_.end(),
                                         [data](const auto& live) { return live.first == data; });
            if (it == live_.end()) {
                if (data != nullptr) violations_.push_back("handed back a text that is no reply");
                return nullptr;
            }
            delete[] it->first;
            live_.erase(it);
            return nullptr;
        }
        if (type != VESK_NOTIFY_COMMAND) {
            violations_.push_back("notify of type " + std::to_string(type) + " to the host");
            return nullptr;
        }
        const std::string command = data != nullptr ? static_cast<const char*>(data) : "";
        if (ended_) violations_.push_back("command after AS: " + command);
        if (command == "AS") ended_ = true;
        commands.push_back(command);
        const auto answer = replies_.find(command);
        if (answer == replies_.end() || !answer->second) return nullptr;
        char* text = new char[answer->second->size() + 1];
        std::memcpy(text, answer->second->c_str(), answer->second->size() + 1);
        live_.emplace_back(text, command);
        return text;
    }

private:
    std::map<std::string, std::optional<std::string>> replies_;
    std::vector<std::pair<char*, std::string>> live_;  // replies out, with their command
    std::vector<std::string> violations_;
    bool ended_ = false;
};

// The notifications a host sends, for a component created in the test.
namespace vesk_test {

// A parent request "name=value"; the component's reply, handed back to it.
inline std::optional<std::string> param(vesk_client_callback& script, const std::string& key) {
    std::vector<char> text(key.begin(), key.end());
    text.push_back('\0');
    char* reply = script.notify(text.data(), VESK_NOTIFY_PARENT_REQUEST);
    if (reply == nullptr) return std::nullopt;
    std::string copy(reply);
    script.notify(reply, VESK_NOTIFY_RELEASE);
    return copy;
}

inline void driverUpdate(vesk_client_callback& script, int device, int index, int state,
                         const std::string& text) {
    driverUpdateRecord record{};
    record.device = device;
    record.index = index;
    record.state = state;
    std::strncpy(record.text, text.c_str(), VESK_DRIVER_TEXT_CAPACITY - 1);
    script.notify(&record, VESK_NOTIFY_DRIVER_UPDATE);
}

// A GPI input's state, as a GPI driver reports it.
inline void gpi(vesk_client_callback& script, int device, int input, int state) {
    driverUpdate(script, device, input, state, std::to_string(state));
}

// An info slot's text, as an info driver reports it.
inline void info(vesk_client_callback& script, int device, int slot, const std::string& text) {
    driverUpdate(script, device, slot, 0, text);
}

inline void timer(vesk_client_callback& script, int timerId) {
    script.notify(reinterpret_cast<void*>(static_cast<std::intptr_t>(timerId)), VESK_NOTIFY_TIMER);
}

// A control event: control `id` raised the event `name` with `value`.
inline void event(vesk_client_callback& script, const std::string& id, const std::string& name,
                  const std::string& value) {
    static const char empty[] = "";
    decodedKeyRecord key{};
    key.name = name.c_str();
    for (const char*& part : key.parts) part = empty;
    key.value = value.c_str();
    key.hasValue = true;
    controlEventRecord record{};
    record.id = id.c_str();
    record.key = &key;
    script.notify(&record, VESK_NOTIFY_CONTROL_EVENT);
}

}  // namespace vesk_test

#endif  // VESK_TEST_HOST_H
