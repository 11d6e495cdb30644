// Drives one tally component through a sequence of steps taken from the
// input, one step a line, against a checking host whose replies the input
// chooses, and checks after every step:
// - every IW writes "0" or the tally value last accepted from "tally_val",
//   with the flag 0, and is followed at once by the same value on "Tally";
// - the "Tally" control always shows the value last written;
// - every reply to TG, XI and SD is handed back exactly once, no other reply
//   is handed back, and nothing follows "AS" (checked by FuzzHost).
//
// Steps (first character, then arguments):
//   P<key>                 parent request with the key text
//   N                      parent request with a null key
//   D<dev> <idx> <state> <text>   driver update; a text of the record's
//                          capacity or more fills it with no terminator
//   d                      driver update with null data
//   T<id>                  timer tick
//   C<flags><id>\t<name>\t<value>  control event; flags bit 0: null id,
//                          bit 1: null key, bit 2: null name, bit 3: null value
//   c                      control event with null data
//   6 / 7                  notification type 6 / 7 with a poisoned pointer
//   X<type>                notification of an unknown type, poisoned data
//   R<WORD><text>          the host answers commands WORD (two letters) with text
//   Z<WORD>                the host answers commands WORD with null
//   Q / q                  end the component, start a new one with / without a host
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "Varnik.h"
#include "fuzz_host.h"

namespace {

// Reads a signed decimal number, wrapping around like the host's integers.
int readNumber(const std::string& text, std::size_t& at) {
    while (at < text.size() && text[at] == ' ') ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
    std::uint32_t magnitude = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        magnitude = magnitude * 10u + static_cast<std::uint32_t>(text[at++] - '0');
    }
    const std::uint32_t bits = negative ? 0u - magnitude : magnitude;
    int value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// VARNIK_FUZZ_TRACE=1 prints every command, to follow a reproducer.
const bool trace = std::getenv("VARNIK_FUZZ_TRACE") != nullptr;

class Session {
public:
    explicit Session(std::map<std::string, std::optional<std::string>>& replies)
        : replies_(replies) {}

    ~Session() { end(); }

    void start(bool withHost) {
        end();
        host_ = std::make_unique<FuzzHost>(
            [this](const std::string& command) -> std::optional<std::string> {
                auto it = replies_.find(command.substr(0, 2));
                return it == replies_.end() ? std::nullopt : it->second;
            });
        component_ = std::make_unique<Varnik>(withHost ? host_.get() : nullptr, "panels");
        accepted_.clear();
        written_.reset();
        checked_ = 0;
        checkStep();
    }

    void end() {
        if (!component_) return;
        component_.reset();
        const auto& commands = host_->commands;
        if (!commands.empty()) {
            FUZZ_CHECK(commands.back() == "AS", "the last command is not AS");
            for (std::size_t i = 0; i + 1 < commands.size(); ++i) {
                FUZZ_CHECK(commands[i] != "AS", "AS before the end");
            }
        }
        host_->checkNoOutstandingReply();
        host_.reset();
    }

    Varnik& component() { return *component_; }

    // What the model learns from a parent request before it is sent.
    void noteRequest(const char* keyText) {
        const decodeKeyString key(keyText);
        const std::string name(key.name), value(key.value);
        if (name == "tally_val" && (value == "1" || value == "2" || value == "3")) accepted_ = value;
    }

    // Checks the commands the last step sent.
    void checkStep() {
        host_->checkNoOutstandingReply();
        const auto& commands = host_->commands;
        for (; checked_ < commands.size(); ++checked_) {
            const std::string& command = commands[checked_];
            if (trace) std::fprintf(stderr, "  -> %s\n", command.c_str());
            FUZZ_CHECK(command != "AS", "AS while the component lives");
            if (startsWith(command, "IW ")) {
                const std::size_t open = command.find('\'');
                const std::size_t close = command.rfind('\'');
                FUZZ_CHECK(open != std::string::npos && close > open, "malformed IW: " + command);
                const std::string value = command.substr(open + 1, close - open - 1);
                FUZZ_CHECK(value == "0" || value == accepted_,
                           "IW writes \"" + value + "\", accepted tally is \"" + accepted_ + "\"");
                FUZZ_CHECK(endsWith(command, " 0"), "IW flag is not 0: " + command);
                written_ = value;
                FUZZ_CHECK(checked_ + 1 < commands.size() &&
                               commands[checked_ + 1] == "TP 'text=" + value + "' '1' 'Tally'",
                           "IW not followed by the same value on Tally: " + command);
            } else if (endsWith(command, "' '1' 'Tally'")) {
                FUZZ_CHECK(written_.has_value() &&
                               command == "TP 'text=" + *written_ + "' '1' 'Tally'",
                           "Tally shows something other than the last write: " + command);
            }
        }
    }

private:
    std::map<std::string, std::optional<std::string>>& replies_;
    std::unique_ptr<FuzzHost> host_;
    std::unique_ptr<Varnik> component_;
    std::string accepted_;
    std::optional<std::string> written_;
    std::size_t checked_ = 0;
};

void controlEvent(Varnik& component, const std::string& args) {
    const unsigned flags = args.empty() ? 0u : static_cast<unsigned char>(args[0]);
    const std::string rest = args.empty() ? std::string() : args.substr(1);
    const std::size_t tab1 = rest.find('\t');
    const std::size_t tab2 = tab1 == std::string::npos ? std::string::npos : rest.find('\t', tab1 + 1);
    const std::string id = rest.substr(0, tab1);
    const std::string name =
        tab1 == std::string::npos ? std::string() : rest.substr(tab1 + 1, tab2 - tab1 - 1);
    const std::string value = tab2 == std::string::npos ? std::string() : rest.substr(tab2 + 1);
    decodedKeyRecord key{};
    key.name = flags & 4u ? nullptr : name.c_str();
    for (const char*& part : key.parts) part = "";
    key.value = flags & 8u ? nullptr : value.c_str();
    key.hasValue = true;
    controlEventRecord record{};
    record.id = flags & 1u ? nullptr : id.c_str();
    record.key = flags & 2u ? nullptr : &key;
    FUZZ_CHECK(component.notify(&record, VESK_NOTIFY_CONTROL_EVENT) == nullptr, "type 2 result");
}

void driverUpdate(Varnik& component, const std::string& args) {
    std::size_t at = 0;
    driverUpdateRecord record;
    std::memset(&record, 'x', sizeof record);  // padding included: no stray NUL
    record.device = readNumber(args, at);
    record.index = readNumber(args, at);
    record.state = readNumber(args, at);
    if (at < args.size() && args[at] == ' ') ++at;
    const std::string text = args.substr(at < args.size() ? at : args.size());
    const std::size_t copied = text.size() < sizeof record.text ? text.size() : sizeof record.text;
    std::memcpy(record.text, text.data(), copied);
    if (copied < sizeof record.text) record.text[copied] = '\0';  // else: unterminated
    FUZZ_CHECK(component.notify(&record, VESK_NOTIFY_DRIVER_UPDATE) == nullptr, "type 1 result");
}

}  // namespace

// The configuration store names a GPI, an info and a badly typed instance,
// so that both source kinds and the invalid-type path are reachable.
char configPath[] = "/tmp/varnik_fuzz_config_XXXXXX";

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char* path = configPath;
    const int fd = mkstemp(path);
    if (fd < 0) return 0;
    const char config[] =
        "[instances.GPI1]\ndrvtype=g\n[instances.INFO1]\ndrvtype=I\n"
        "[instances.BAD]\ndrvtype=gpi\n[instances.DEST]\ndrvtype=i\n";
    const ssize_t written = write(fd, config, sizeof config - 1);
    close(fd);
    std::atexit([] { unlink(configPath); });
    if (written == static_cast<ssize_t>(sizeof config - 1)) setenv("VESK_CONFIG", path, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::optional<std::string>> replies;
    Session session(replies);
    session.start(true);

    std::size_t begin = 0;
    while (begin < input.size()) {
        std::size_t stop = input.find('\n', begin);
        if (stop == std::string::npos) stop = input.size();
        const std::string line = input.substr(begin, stop - begin);
        begin = stop + 1;
        if (line.empty()) continue;
        const std::string args = line.substr(1);
        Varnik& component = session.component();
        switch (line[0]) {
            case 'P': {
                session.noteRequest(args.c_str());
                char* reply = component.notify(const_cast<char*>(args.c_str()), VESK_NOTIFY_PARENT_REQUEST);
                if (reply != nullptr) FUZZ_CHECK(*reply != '\0', "empty reply allocated");
                component.notify(reply, VESK_NOTIFY_RELEASE);
                break;
            }
            case 'N':
                FUZZ_CHECK(component.notify(nullptr, VESK_NOTIFY_PARENT_REQUEST) == nullptr,
                           "null request answered");
                break;
            case 'D':
                driverUpdate(component, args);
                break;
            case 'd':
                component.notify(nullptr, VESK_NOTIFY_DRIVER_UPDATE);
                break;
            case 'T': {
                std::size_t at = 0;
                const int id = readNumber(args, at);
                component.notify(reinterpret_cast<void*>(static_cast<std::intptr_t>(id)), VESK_NOTIFY_TIMER);
                break;
            }
            case 'C':
                controlEvent(component, args);
                break;
            case 'c':
                component.notify(nullptr, VESK_NOTIFY_CONTROL_EVENT);
                break;
            case '6':
                component.notify(poisonPointer(), VESK_NOTIFY_TYPE6);
                break;
            case '7':
                component.notify(poisonPointer(), VESK_NOTIFY_TYPE7);
                break;
            case 'X': {
                std::size_t at = 0;
                int type = readNumber(args, at);
                if (type >= VESK_NOTIFY_DRIVER_UPDATE && type <= VESK_NOTIFY_TYPE7) type = 0;
                FUZZ_CHECK(component.notify(poisonPointer(), type) == nullptr, "unknown type answered");
                break;
            }
            case 'R':
                if (args.size() >= 2) replies[args.substr(0, 2)] = args.substr(2);
                break;
            case 'Z':
                if (args.size() >= 2) replies[args.substr(0, 2)] = std::nullopt;
                break;
            case 'Q':
                session.start(true);
                break;
            case 'q':
                session.start(false);
                break;
            default:
                break;
        }
        session.checkStep();
    }
    session.end();
    return 0;
}
