#include "recording_host.h"

#include <cstdint>
#include <cstring>

namespace {

std::string commandWord(const std::string& command) { return command.substr(0, 2); }

char* heapCopy(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

RecordingHost::~RecordingHost() {
    for (auto& entry : live_) delete[] static_cast<const char*>(entry.first);
    for (char* reply : kept_) delete[] reply;
}

void RecordingHost::reply(const std::string& command, std::optional<std::string> text) {
    exact_[command] = std::move(text);
}

void RecordingHost::replyPrefix(const std::string& prefix, std::optional<std::string> text) {
    prefixes_.emplace_back(prefix, std::move(text));
}

char* RecordingHost::notify(void* data, int type) {
    if (type == VESK_NOTIFY_RELEASE) {
        auto it = live_.find(data);
        if (data == nullptr) {
            violations_.push_back("null handed back");
        } else if (it == live_.end()) {
            violations_.push_back("handed back a text that is not a live reply");
        } else {
            if (commandWord(it->second) != "TG" && commandWord(it->second) != "XI" &&
                commandWord(it->second) != "SD") {
                violations_.push_back("handed back the reply to " + it->second);
            }
            delete[] static_cast<char*>(data);
            live_.erase(it);
            ++released_;
        }
        return nullptr;
    }
    if (type != VESK_NOTIFY_COMMAND) {
        violations_.push_back("notify with type " + std::to_string(type));
        return nullptr;
    }
    const std::string command = data ? static_cast<const char*>(data) : "";
    if (closed_) violations_.push_back("command after AS: " + command);
    if (command == "AS") closed_ = true;
    commands.push_back(command);

    std::optional<std::string> answer;
    auto exact = exact_.find(command);
    if (exact != exact_.end()) {
        answer = exact->second;
    } else {
        for (const auto& rule : prefixes_) {
            if (command.compare(0, rule.first.size(), rule.first) == 0) {
                answer = rule.second;
                break;
            }
        }
    }
    if (!answer) return nullptr;
    char* text = heapCopy(*answer);
    const std::string word = commandWord(command);
    if (word == "TG" || word == "XI" || word == "SD") {
        live_[text] = command;
    } else {
        kept_.push_back(text);  // the script must neither read nor return it
    }
    return text;
}

std::vector<std::string> RecordingHost::violations() const { return violations_; }

int RecordingHost::outstandingReplies() const { return static_cast<int>(live_.size()); }

driverUpdateRecord makeDriverUpdate(int device, int index, int state, const std::string& text) {
    driverUpdateRecord record{};
    record.device = device;
    record.index = index;
    record.state = state;
    std::strncpy(record.text, text.c_str(), VESK_DRIVER_TEXT_CAPACITY - 1);
    return record;
}

ControlEvent::ControlEvent(const char* id, const char* name, const char* value)
    : id_(id), name_(name), value_(value) {
    key_.name = name_.c_str();
    for (const char*& part : key_.parts) part = "";
    key_.value = value_.c_str();
    key_.hasValue = true;
    record_.id = id_.c_str();
    record_.key = &key_;
}

char* sendParentRequest(vesk_client_callback& script, const char* key) {
    return script.notify(const_cast<char*>(key), VESK_NOTIFY_PARENT_REQUEST);
}

std::string parentRequestText(vesk_client_callback& script, const char* key) {
    char* reply = sendParentRequest(script, key);
    if (reply == nullptr) return std::string();
    std::string text(reply);
    script.notify(reply, VESK_NOTIFY_RELEASE);
    return text;
}

void sendTimer(vesk_client_callback& script, int timerId) {
    script.notify(reinterpret_cast<void*>(static_cast<std::intptr_t>(timerId)), VESK_NOTIFY_TIMER);
}
