// The notification dispatch on arbitrary notification types and records:
// driver updates with short, unterminated or full-capacity texts, control
// events whose id, key, name or value pointers are null or fuzzed texts,
// parent requests with fuzzed or null keys, timers, types 6 and 7 and
// unknown types. The script has alarm-group handling switched on, and the
// host answers every command (the XI list and the TG values included) with
// fuzzed replies, so the group actions run on hostile host data as well.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz_host.h"
#include "vesk_script_helper.h"

namespace {

class AlarmScript : public vesk_script_helper {
public:
    AlarmScript(vesk_client_callback* host, const char* path) : vesk_script_helper(host, path) {
        alarmHandling = true;
    }

    void controlEvent(controlEventView* event) override {
        ++controlEvents;
        eventId = event->id().c_str();
        eventName = event->eventName().c_str();
        eventValue = event->eventValue().c_str();
    }
    int driverUpdate(driverUpdateView* update) override {
        ++driverUpdates;
        device = update->device();
        index = update->index();
        state = update->state();
        text.assign(update->text().c_str(), static_cast<std::size_t>(update->text().length()));
        textMatches = update->textEquals(vesk_string(text.c_str()));
        return 0;
    }
    vesk_string parentRequest(parentRequestView* request) override {
        ++parentRequests;
        requestName = request->name().c_str();
        // The value comes back as the reply, so both the empty (null) and the
        // allocated reply paths run.
        return request->value();
    }
    void timerEvent(int timerId) override {
        ++timerEvents;
        timer = timerId;
    }
    void notifyType6(recordView* record) override { type6Data = record->data(); }
    void notifyType7(recordView* record) override { type7Data = record->data(); }

    int controlEvents = 0, driverUpdates = 0, parentRequests = 0, timerEvents = 0;
    std::string eventId, eventName, eventValue, requestName, text;
    int device = 0, index = 0, state = 0, timer = 0;
    bool textMatches = false;
    void* type6Data = nullptr;
    void* type7Data = nullptr;
};

std::string orEmpty(const char* text) { return text ? std::string(text) : std::string(); }

// A text that is null in one case out of eight.
std::optional<std::string> maybeText(FuzzedDataProvider& input) {
    if ((input.ConsumeIntegral<std::uint8_t>() & 7) == 0) return std::nullopt;
    return input.ConsumeRandomLengthString(512);
}

void driverUpdateStep(FuzzedDataProvider& input, AlarmScript& script) {
    // Padding included, nothing of the record is a NUL the script could lean on.
    driverUpdateRecord record;
    std::memset(&record, 'x', sizeof record);
    record.device = input.ConsumeIntegral<std::int32_t>();
    record.reserved = input.ConsumeIntegral<std::int32_t>();
    record.index = input.ConsumeIntegral<std::int32_t>();
    record.state = input.ConsumeIntegral<std::int32_t>();
    // The whole text area is the host's: fill it, then maybe terminate it.
    const std::size_t fill = input.ConsumeIntegralInRange<std::size_t>(0, VESK_DRIVER_TEXT_CAPACITY);
    const std::string bytes = input.ConsumeBytesAsString(fill);
    std::memcpy(record.text, bytes.data(), bytes.size());
    if (bytes.size() < VESK_DRIVER_TEXT_CAPACITY) record.text[bytes.size()] = '\0';
    const std::size_t expectedLength = strnlen(record.text, VESK_DRIVER_TEXT_CAPACITY);

    const int before = script.driverUpdates;
    FUZZ_CHECK(script.notify(&record, VESK_NOTIFY_DRIVER_UPDATE) == nullptr, "type 1 result");
    FUZZ_CHECK(script.driverUpdates == before + 1, "driverUpdate not called once");
    FUZZ_CHECK(script.device == record.device && script.index == record.index &&
                   script.state == record.state,
               "driver update numbers");
    FUZZ_CHECK(script.text == std::string(record.text, expectedLength), "driver update text");
    FUZZ_CHECK(script.textMatches, "textEquals disagrees with text");
}

void controlEventStep(FuzzedDataProvider& input, AlarmScript& script, FuzzHost& host,
                      bool withHost) {
    const std::optional<std::string> id = maybeText(input);
    const bool withKey = input.ConsumeBool();
    const std::optional<std::string> name = maybeText(input);
    const std::optional<std::string> value = maybeText(input);
    decodedKeyRecord key{};
    key.name = name ? name->c_str() : nullptr;
    for (const char*& part : key.parts) part = nullptr;
    key.value = value ? value->c_str() : nullptr;
    key.partCount = input.ConsumeIntegral<std::int32_t>();  // never read by a script
    key.hasValue = input.ConsumeBool();
    controlEventRecord record{};
    record.id = id ? id->c_str() : nullptr;
    record.key = withKey ? &key : nullptr;

    const std::string idText = id.value_or("");
    const std::string nameText = withKey ? name.value_or("") : "";
    const std::string valueText = withKey ? value.value_or("") : "";
    // Only the id and the name decide; ids and names read up to their NUL.
    const bool groupAction = (orEmpty(idText.c_str()) == "ActionAll" &&
                              orEmpty(nameText.c_str()) == "alarm") ||
                             orEmpty(idText.c_str()) == "AckAll";

    const int before = script.controlEvents;
    const std::size_t sent = host.commands.size();
    FUZZ_CHECK(script.notify(&record, VESK_NOTIFY_CONTROL_EVENT) == nullptr, "type 2 result");
    if (groupAction) {
        FUZZ_CHECK(script.controlEvents == before, "group action reached controlEvent");
        if (withHost) {
            FUZZ_CHECK(host.commands.size() > sent && host.commands[sent] == "XI '1' 'alm_'",
                       "group action did not ask for the alarm controls");
        }
    } else {
        FUZZ_CHECK(script.controlEvents == before + 1, "event did not reach controlEvent once");
        FUZZ_CHECK(host.commands.size() == sent, "ordinary event sent a command");
        FUZZ_CHECK(script.eventId == idText.c_str() && script.eventName == nameText.c_str() &&
                       script.eventValue == valueText.c_str(),
                   "event texts");
    }
}

void parentRequestStep(FuzzedDataProvider& input, AlarmScript& script) {
    const std::optional<std::string> keyText = maybeText(input);
    const decodeKeyString expected(keyText ? keyText->c_str() : nullptr);
    char* reply = script.notify(keyText ? const_cast<char*>(keyText->c_str()) : nullptr,
                                VESK_NOTIFY_PARENT_REQUEST);
    FUZZ_CHECK(script.requestName == expected.name, "request name");
    if (*expected.value == '\0') {
        FUZZ_CHECK(reply == nullptr, "empty reply allocated");
    } else {
        FUZZ_CHECK(reply != nullptr && std::strcmp(reply, expected.value) == 0, "reply text");
    }
    script.notify(reply, VESK_NOTIFY_RELEASE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    FuzzHost host([&input](const std::string&) -> std::optional<std::string> {
        if (input.ConsumeBool()) return std::nullopt;
        return input.ConsumeRandomLengthString(256);
    });
    {
        const std::string path = input.ConsumeRandomLengthString(64);
        const bool withHost = input.ConsumeBool();
        AlarmScript script(withHost ? &host : nullptr, path.c_str());
        for (int step = 0; step < 64 && input.remaining_bytes() > 0; ++step) {
            const int type = input.ConsumeBool() ? input.ConsumeIntegralInRange<int>(0, 8)
                                                 : input.ConsumeIntegral<int>();
            const std::size_t sent = host.commands.size();
            switch (type) {
                case VESK_NOTIFY_DRIVER_UPDATE:
                    if (input.ConsumeBool()) {
                        FUZZ_CHECK(script.notify(nullptr, type) == nullptr, "null type 1");
                    } else {
                        driverUpdateStep(input, script);
                    }
                    break;
                case VESK_NOTIFY_CONTROL_EVENT:
                    if (input.ConsumeBool()) {
                        FUZZ_CHECK(script.notify(nullptr, type) == nullptr, "null type 2");
                    } else {
                        controlEventStep(input, script, host, withHost);
                    }
                    break;
                case VESK_NOTIFY_PARENT_REQUEST:
                    parentRequestStep(input, script);
                    break;
                case VESK_NOTIFY_TIMER: {
                    const int id = input.ConsumeIntegral<int>();
                    FUZZ_CHECK(script.notify(reinterpret_cast<void*>(static_cast<std::intptr_t>(id)),
                                             type) == nullptr,
                               "type 4 result");
                    FUZZ_CHECK(script.timer == id, "timer id");
                    break;
                }
                case VESK_NOTIFY_RELEASE:
                    FUZZ_CHECK(script.notify(nullptr, type) == nullptr, "null type 5");
                    break;
                case VESK_NOTIFY_TYPE6:
                case VESK_NOTIFY_TYPE7: {
                    void* value = reinterpret_cast<void*>(input.ConsumeIntegral<std::uintptr_t>());
                    FUZZ_CHECK(script.notify(value, type) == nullptr, "type 6/7 result");
                    FUZZ_CHECK((type == VESK_NOTIFY_TYPE6 ? script.type6Data : script.type7Data) == value,
                               "type 6/7 data not handed on unchanged");
                    break;
                }
                default: {
                    const int hooks = script.controlEvents + script.driverUpdates +
                                      script.parentRequests + script.timerEvents;
                    FUZZ_CHECK(script.notify(poisonPointer(), type) == nullptr, "unknown type result");
                    FUZZ_CHECK(hooks == script.controlEvents + script.driverUpdates +
                                            script.parentRequests + script.timerEvents,
                               "unknown type reached a hook");
                    FUZZ_CHECK(host.commands.size() == sent, "unknown type sent a command");
                    break;
                }
            }
            host.checkNoOutstandingReply();
        }
    }
    // The script is gone: its last command, if any, was "AS".
    if (!host.commands.empty()) FUZZ_CHECK(host.commands.back() == "AS", "last command is not AS");
    host.checkNoOutstandingReply();
    return 0;
}
