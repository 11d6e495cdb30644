// vesk_script_helper.h - base class of every script.
//
// The base keeps the link to the host, turns the host's numbered
// notifications into named hooks that a derived script implements, and
// carries the operations that send text commands to the host.
#ifndef VESK_SCRIPT_HELPER_H
#define VESK_SCRIPT_HELPER_H

#include <new>

#include "vesk_config.h"
#include "vesk_decoders.h"
#include "vesk_host_abi.h"
#include "vesk_string.h"
#include "vesk_stringlist.h"
#include "vesk_text_piece.h"

// One-pointer views over what the host passed with a notification. They live
// on the dispatcher's stack for one hook call: a hook copies what it needs.

class driverUpdateView {
public:
    explicit driverUpdateView(const driverUpdateRecord* record) : record_(record) {}
    int device() const { return record_->device; }
    int index() const { return record_->index; }
    int state() const { return record_->state; }
    // The record's text up to its NUL, never past the record's capacity.
    vesk_string text() const;
    // The same comparison as text() == expected, without copying the text.
    bool textEquals(const vesk_string& expected) const;

private:
    const driverUpdateRecord* record_;
};

class controlEventView {
public:
    explicit controlEventView(const controlEventRecord* record) : record_(record) {}
    vesk_string id() const;
    vesk_string eventName() const;
    vesk_string eventValue() const;

private:
    const controlEventRecord* record_;
};

class parentRequestView {
public:
    explicit parentRequestView(const decodeKeyString* key) : key_(key) {}
    vesk_string name() const { return vesk_string(key_->name); }
    vesk_string value() const { return vesk_string(key_->value); }

private:
    const decodeKeyString* key_;
};

// Data of notification types 6 and 7, handed on uninterpreted.
class recordView {
public:
    explicit recordView(void* data) : data_(data) {}
    void* data() const { return data_; }

private:
    void* data_;
};

class vesk_script_helper : public vesk_client_callback {
public:
    // Stores `host` (not owned, may be null) and a copy of `panelPath` (null
    // reads as empty). Sends nothing.
    vesk_script_helper(vesk_client_callback* host, const char* panelPath);
    // Sends "AS" as the script's last command when a host is set.
    ~vesk_script_helper() override;

    vesk_script_helper(const vesk_script_helper&) = delete;
    vesk_script_helper& operator=(const vesk_script_helper&) = delete;

    // The dispatcher: types 1 to 7 reach the hooks below; any other type is
    // ignored. Only type 3 returns non-null: a reply allocated here that the
    // host hands back with type 5.
    char* notify(void* data, int type) override;

    // Hooks, in the interface's slot order.
    virtual void controlEvent(controlEventView* event) = 0;
    virtual int driverUpdate(driverUpdateView* update) = 0;
    virtual vesk_string parentRequest(parentRequestView* request) = 0;
    virtual void notifyType7(recordView* record);
    virtual void timerEvent(int timerId) = 0;
    virtual void notifyType6(recordView* record);

    // Host commands. Without a host nothing is sent and each operation
    // behaves as if no reply had come.
    bool panelShow(const vesk_string& panel, const vesk_string& file, const vesk_string& extra);
    void textPut(const vesk_string& property, const vesk_string& value, const vesk_string& panel,
                 const vesk_string& control);
    void textPut(const vesk_string& assignment, const vesk_string& panel,
                 const vesk_string& control);
    // The same command when property, panel and control are literals: built
    // without temporary strings, for the driver-update path.
    template <std::size_t P, typename Value, std::size_t N, std::size_t C>
    void textPut(const char (&property)[P], const Value& value, const char (&panel)[N],
                 const char (&control)[C]) {
        putText(property, value, panel, control);
    }
    void textGet(const vesk_string& property, const vesk_string& panel,
                 const vesk_string& control, vesk_string& value);
    vesk_stringlist controlList(const vesk_string& panel, const vesk_string& filter);
    // True when the host replied; `device` and `offset` may each be null.
    bool instanceLookup(vesk_string instance, int* device, int* offset);
    void infoRegister(int device, int firstSlot, int lastSlot, bool add);
    void infoPoll(int device, int firstSlot, int lastSlot);
    void infoUnregister(int device);
    void infoWrite(int device, const vesk_string& text, int slot, bool flag);
    template <std::size_t N>
    void infoWrite(int device, const char (&text)[N], int slot, bool flag) {
        writeInfo(device, text, slot, flag);
    }
    void gpiRegister(int device, int firstSlot, int lastSlot, bool add);
    void gpiPoll(int device, int firstSlot, int lastSlot);
    void gpiUnregister(int device);
    void timerStart(int timerId, int interval);
    void timerStop(int timerId);

    // Diagnostics to the debugger output; no line break is added.
    void debugPrint(const vesk_string& text);
    // Fills %1..%9 of `format` with a1..a9 and writes the result.
    void debugFormat(const vesk_string& format, const vesk_string& a1 = vesk_string(),
                     const vesk_string& a2 = vesk_string(), const vesk_string& a3 = vesk_string(),
                     const vesk_string& a4 = vesk_string(), const vesk_string& a5 = vesk_string(),
                     const vesk_string& a6 = vesk_string(), const vesk_string& a7 = vesk_string(),
                     const vesk_string& a8 = vesk_string(), const vesk_string& a9 = vesk_string());

    // Applies one alarm action to every "alm_" control of panel "1".
    void alarmAction(const vesk_string& action);

protected:
    vesk_client_callback* host;  // the host's object: not owned, may be null
    vesk_string panelPath;       // folder of the panel layout files
    bool alarmHandling;          // route "ActionAll"/"AckAll" events to alarmAction

private:
    // Sends a command and returns the host's reply (null without a host).
    char* sendCommand(const char* text);
    // Hands a reply back to the host that returned it.
    void releaseReply(char* reply);
    // Sends a command whose reply is ignored.
    void sendIgnoringReply(const char* text);
    void sendNumeric(const char* word, const int* numbers, int count, bool add);
    void putText(TextPiece property, TextPiece value, TextPiece panel, TextPiece control);
    void writeInfo(int device, TextPiece text, int slot, bool flag);
    char* parentRequestReply(const char* keyText);
    // True when a type-2 event is a group action; it has then been acted on.
    bool handleAlarmGroupEvent(const controlEventView& event);
};

// The body of a plug-in's factory: a new Script(host, panelPath), or null
// when it cannot be made. Where hosts expect another object layout than the
// compiler's (vesk_ms_layout.h), the host and the script are adapted to it.
template <typename Script>
vesk_client_callback* vesk_create_script(vesk_client_callback* host, const char* panelPath) {
    auto make = [](vesk_client_callback* h, const char* p) -> vesk_client_callback* {
        return new (std::nothrow) Script(h, p);
    };
#if VESK_MS_LAYOUT
    return vesk_ms_export_script(host, panelPath, make);
#else
    return make(host, panelPath);
#endif
}

// Defines the factory a component module exports, for the component class
// Script (constructed from the host and the panel folder). Write it once, at
// namespace scope, in one source file of the module:
//     VESK_DECLARE_COMPONENT(Mirror);
#define VESK_DECLARE_COMPONENT(Script)                                                   \
    extern "C" VESK_PLUGIN_EXPORT vesk_client_callback* load_vesk_client_script(        \
        vesk_client_callback* host, const char* panelPath) {                             \
        return vesk_create_script<Script>(host, panelPath);                              \
    }                                                                                    \
    static_assert(sizeof(Script) > 0, "VESK_DECLARE_COMPONENT needs a complete class")

#endif  // VESK_SCRIPT_HELPER_H
