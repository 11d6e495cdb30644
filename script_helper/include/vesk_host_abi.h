// vesk_host_abi.h - the boundary between a control-panel host and a script plug-in.
//
// This is the only header a host needs. It declares the two-slot callback
// interface both sides implement, the records a host passes with driver
// updates and control events, the decoded-key layout a host builds for a
// control event, the notification numbers and the factory a plug-in exports.
//
// Every record has a fixed layout. In a 32-bit process the byte offsets are
// fixed by the interface and checked below; in a 64-bit process the same
// fields stand in the same order with natural alignment (also checked).
//
// Threading: everything crosses this boundary on the host's thread, one call
// at a time. A host never calls a script's notify from inside a command that
// the script is sending to it.
#ifndef VESK_HOST_ABI_H
#define VESK_HOST_ABI_H

// Version of this interface. Raise it whenever a record, a notification
// number or the callback interface changes.
#define VESK_HOST_ABI_VERSION 1

#define VESK_HOST_ABI_STR2(x) #x
#define VESK_HOST_ABI_STR(x) VESK_HOST_ABI_STR2(x)

// Resource compilers read the version above and stop here.
#ifndef RC_INVOKED

#include <cstddef>
#include <cstdint>

// The ABI text every module records (vesk_add_component) and a host compares
// with its own before it calls the factory: the interface version and, where
// the C++ library has two incompatible layouts, the one the module was
// compiled for (the string library's classes hold standard types).
#if defined(__GLIBCXX__) && !defined(_WIN32)
#if _GLIBCXX_USE_CXX11_ABI
#define VESK_HOST_ABI_TEXT VESK_HOST_ABI_STR(VESK_HOST_ABI_VERSION) "/libstdc++-cxx11"
#else
#define VESK_HOST_ABI_TEXT VESK_HOST_ABI_STR(VESK_HOST_ABI_VERSION) "/libstdc++-cxx98"
#endif
#else
#define VESK_HOST_ABI_TEXT VESK_HOST_ABI_STR(VESK_HOST_ABI_VERSION)
#endif

// Name of the one symbol a plug-in exports.
#define VESK_FACTORY_SYMBOL "load_vesk_client_script"

// Notification numbers: the `type` argument of notify().
enum vesk_notification : int {
    // script -> host: `data` is a NUL-terminated command text (owned by the
    // script, valid for the call only). The result is the host's reply text
    // (owned by the host) or null.
    VESK_NOTIFY_COMMAND = 0,
    // host -> script: `data` points at a driverUpdateRecord (owned by the host,
    // valid for the call only). Result: null.
    VESK_NOTIFY_DRIVER_UPDATE = 1,
    // host -> script: `data` points at a controlEventRecord (owned by the host,
    // valid for the call only). Result: null.
    VESK_NOTIFY_CONTROL_EVENT = 2,
    // host -> script: `data` is a NUL-terminated key text "name.part=value"
    // (owned by the host, valid for the call only). Result: a reply text
    // allocated by the script, or null; the host hands it back with type 5.
    VESK_NOTIFY_PARENT_REQUEST = 3,
    // host -> script: `data` is the timer id cast to a pointer-sized value,
    // not a pointer. Result: null.
    VESK_NOTIFY_TIMER = 4,
    // either direction: `data` is a reply text that the receiving side
    // returned earlier from notify; the receiver takes it back and frees it.
    // Null is ignored. Result: null.
    VESK_NOTIFY_RELEASE = 5,
    // host -> script: a pointer-sized value of the host's, handed on
    // uninterpreted. Result: null.
    VESK_NOTIFY_TYPE6 = 6,
    VESK_NOTIFY_TYPE7 = 7
};

// The interface both the host's object and every script object implement.
// Slot order is part of the interface: destructor first, then notify.
class vesk_client_callback {
public:
    virtual ~vesk_client_callback() {}
    virtual char* notify(void* data, int type) = 0;
};

// Capacity of the text held inside a driverUpdateRecord, terminator included.
// A script reads at most this many bytes and stops at the first NUL.
#define VESK_DRIVER_TEXT_CAPACITY 257

// Notification type 1: a driver reports a change of one slot or input.
// Built and owned by the host; the script reads it during the call only.
struct driverUpdateRecord {
    std::int32_t device;                    // device number of the reporting driver
    std::int32_t reserved;                  // the host's; never read by a script
    std::int32_t index;                     // slot or input that changed
    std::int32_t state;                     // integer state (GPI drivers)
    char text[VESK_DRIVER_TEXT_CAPACITY];   // slot text held in the record (info drivers)
};

// Maximum number of parts of a decoded key.
#define VESK_KEY_MAX_PARTS 32

// A key "name.part.part=value" split into pieces. Scripts decode parent
// requests into this layout themselves; a host builds one for the event of
// every control event. A script reads only `name` and `value` of a record
// built by the host. Pointers that received no piece point at an empty text,
// never null (a script nevertheless reads a null as the empty text).
struct decodedKeyRecord {
    const char* name;                       // owned by the record's builder
    const char* parts[VESK_KEY_MAX_PARTS];  // owned by the record's builder
    const char* value;                      // owned by the record's builder
    std::int32_t partCount;                 // filled entries of parts, 0..32
    bool hasValue;                          // an '=' was met
    char* buffer;                           // builder's storage the pointers point into, or null
};

// Notification type 2: a control on the script's panel raised an event.
// Built and owned by the host; the script reads it during the call only.
struct controlEventRecord {
    unsigned char reserved[12];             // the host's; never read by a script
    const char* id;                         // control id, owned by the host; null reads as empty
    const decodedKeyRecord* key;            // decoded event, owned by the host; null reads as empty
};

// Marks the factory for export from a plug-in; everything else stays hidden.
#if defined(_WIN32)
#define VESK_PLUGIN_EXPORT __declspec(dllexport)
#else
#define VESK_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

// The factory a plug-in exports as VESK_FACTORY_SYMBOL, with C linkage.
// `host` is the host's callback object: owned by the host, it must outlive
// the script. `panelPath` is copied by the script. The returned object is
// owned by the host, which ends it with delete through the virtual destructor;
// null means no object could be created. On Windows both objects are in
// Microsoft's layout whatever compiler built either side (vesk_ms_layout.h).
extern "C" typedef vesk_client_callback* (*vesk_factory_fn)(vesk_client_callback* host,
                                                            const char* panelPath);

// Layout checks: a host and a plug-in built apart must agree byte for byte.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(driverUpdateRecord, device) == 0, "driverUpdateRecord layout");
static_assert(offsetof(driverUpdateRecord, reserved) == 4, "driverUpdateRecord layout");
static_assert(offsetof(driverUpdateRecord, index) == 8, "driverUpdateRecord layout");
static_assert(offsetof(driverUpdateRecord, state) == 12, "driverUpdateRecord layout");
static_assert(offsetof(driverUpdateRecord, text) == 16, "driverUpdateRecord layout");
static_assert(offsetof(controlEventRecord, id) == 12, "controlEventRecord layout");
static_assert(offsetof(controlEventRecord, key) == 16, "controlEventRecord layout");
static_assert(offsetof(decodedKeyRecord, name) == 0, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, parts) == 4, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, value) == 132, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, partCount) == 136, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, hasValue) == 140, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, buffer) == 144, "decodedKeyRecord layout");
static_assert(sizeof(decodedKeyRecord) == 148, "decodedKeyRecord layout");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(driverUpdateRecord, device) == 0, "driverUpdateRecord layout");
static_assert(offsetof(driverUpdateRecord, reserved) == 4, "driverUpdateRecord layout");
static_assert(offsetof(driverUpdateRecord, index) == 8, "driverUpdateRecord layout");
static_assert(offsetof(driverUpdateRecord, state) == 12, "driverUpdateRecord layout");
static_assert(offsetof(driverUpdateRecord, text) == 16, "driverUpdateRecord layout");
static_assert(offsetof(controlEventRecord, id) == 16, "controlEventRecord layout");
static_assert(offsetof(controlEventRecord, key) == 24, "controlEventRecord layout");
static_assert(offsetof(decodedKeyRecord, name) == 0, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, parts) == 8, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, value) == 264, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, partCount) == 272, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, hasValue) == 276, "decodedKeyRecord layout");
static_assert(offsetof(decodedKeyRecord, buffer) == 280, "decodedKeyRecord layout");
static_assert(sizeof(decodedKeyRecord) == 288, "decodedKeyRecord layout");
#else
#error "unsupported pointer width"
#endif

// Windows objects cross the factory in Microsoft's layout; a build with
// another compiler adapts its own (vesk_ms_layout.h).
#if !defined(VESK_MS_LAYOUT)
#if defined(_WIN32) && !defined(_MSC_VER)
#define VESK_MS_LAYOUT 1
#else
#define VESK_MS_LAYOUT 0
#endif
#endif
#include "vesk_ms_layout.h"

#endif  // RC_INVOKED
#endif  // VESK_HOST_ABI_H
