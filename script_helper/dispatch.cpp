// Construction, destruction and the notification dispatcher of
// vesk_script_helper, and the views the dispatcher hands to the hooks.
#include <cstdint>
#include <cstring>
#include <new>

#include "vesk_script_helper.h"

namespace {

// The record's text is held inline: read up to its NUL, never past its capacity.
std::size_t recordTextLength(const driverUpdateRecord* record) {
    const void* end = std::memchr(record->text, '\0', VESK_DRIVER_TEXT_CAPACITY);
    return end ? static_cast<std::size_t>(static_cast<const char*>(end) - record->text)
               : VESK_DRIVER_TEXT_CAPACITY;
}

}  // namespace

vesk_string driverUpdateView::text() const {
    return vesk_string(record_->text, static_cast<int>(recordTextLength(record_)));
}

bool driverUpdateView::textEquals(const vesk_string& expected) const {
    const std::size_t length = recordTextLength(record_);
    return length == static_cast<std::size_t>(expected.length()) &&
           std::memcmp(record_->text, expected.c_str(), length) == 0;
}

vesk_string controlEventView::id() const { return vesk_string(record_->id); }

vesk_string controlEventView::eventName() const {
    return vesk_string(record_->key ? record_->key->name : nullptr);
}

vesk_string controlEventView::eventValue() const {
    return vesk_string(record_->key ? record_->key->value : nullptr);
}

vesk_script_helper::vesk_script_helper(vesk_client_callback* hostCallback, const char* path)
    : host(hostCallback), panelPath(path), alarmHandling(false) {}

vesk_script_helper::~vesk_script_helper() {
    if (host != nullptr) {
        char closing[] = "AS";
        host->notify(closing, VESK_NOTIFY_COMMAND);
    }
}

void vesk_script_helper::notifyType7(recordView*) {}
void vesk_script_helper::notifyType6(recordView*) {}

char* vesk_script_helper::notify(void* data, int type) {
    switch (type) {
        case VESK_NOTIFY_DRIVER_UPDATE: {
            if (data == nullptr) return nullptr;  // nothing to read
            driverUpdateView view(static_cast<const driverUpdateRecord*>(data));
            driverUpdate(&view);
            return nullptr;
        }
        case VESK_NOTIFY_CONTROL_EVENT: {
            if (data == nullptr) return nullptr;
            controlEventView view(static_cast<const controlEventRecord*>(data));
            if (alarmHandling && handleAlarmGroupEvent(view)) return nullptr;
            controlEvent(&view);
            return nullptr;
        }
        case VESK_NOTIFY_PARENT_REQUEST:
            return parentRequestReply(static_cast<const char*>(data));
        case VESK_NOTIFY_TIMER:
            timerEvent(static_cast<int>(reinterpret_cast<std::intptr_t>(data)));
            return nullptr;
        case VESK_NOTIFY_RELEASE:
            delete[] static_cast<char*>(data);  // a reply of ours; null is a no-op
            return nullptr;
        case VESK_NOTIFY_TYPE6: {
            recordView view(data);
            notifyType6(&view);
            return nullptr;
        }
        case VESK_NOTIFY_TYPE7: {
            recordView view(data);
            notifyType7(&view);
            return nullptr;
        }
        default:
            return nullptr;
    }
}

char* vesk_script_helper::parentRequestReply(const char* keyText) {
    const decodeKeyString key(keyText);
    parentRequestView view(&key);
    const vesk_string reply = parentRequest(&view);
    if (reply.length() == 0) return nullptr;
    const std::size_t size = static_cast<std::size_t>(reply.length()) + 1;
    char* result = new (std::nothrow) char[size];
    if (result != nullptr) std::memcpy(result, reply.c_str(), size);
    return result;
}
