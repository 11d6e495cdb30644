// The plug-in's side of the Microsoft object layout (vesk_ms_layout.h): the
// host's object seen as a vesk_client_callback, and the script's object seen
// by the host through a two-slot table. Compiled away where the compiler's
// own layout is the host's.
#include "vesk_host_abi.h"

#if VESK_MS_LAYOUT

#include <new>

#include "diagnostics.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wattributes"  // thiscall on the table's functions
#endif

namespace {

// The host's Microsoft-layout object, called through its table.
class HostView final : public vesk_client_callback {
public:
    explicit HostView(vesk_ms_object* host) : host_(host) {}
    // A plug-in never ends its host.
    ~HostView() override = default;
    char* notify(void* data, int type) override {
        return host_->vtable->notify(host_, data, type);
    }

private:
    vesk_ms_object* host_;
};

// What the host holds: the table pointer first, then the script and the view
// of the host that the script talks to. Owned by the host once returned.
struct ScriptFace {
    vesk_ms_object object;
    vesk_client_callback* script;  // owned; null once ended
    HostView* host;                // owned; null when there is no host
};

void report(const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    vesk_debugOutput(text, length);
}

ScriptFace* faceOf(vesk_ms_object* self) { return reinterpret_cast<ScriptFace*>(self); }

// Ends the script (it sends its last command through the host view), then
// the view; frees the face only when the host asks for it.
void* VESK_MS_MEMBER destroyScript(vesk_ms_object* self, unsigned int flags) {
    ScriptFace* face = faceOf(self);
    try {
        delete face->script;
    } catch (...) {
        report("script: an exception left the destructor of a script; it is dropped\n");
    }
    face->script = nullptr;
    delete face->host;
    face->host = nullptr;
    if ((flags & VESK_MS_FREE_STORAGE) != 0) delete face;
    return self;
}

char* VESK_MS_MEMBER notifyScript(vesk_ms_object* self, void* data, int type) {
    vesk_client_callback* script = faceOf(self)->script;
    if (script == nullptr) return nullptr;  // called after it was ended
    try {
        return script->notify(data, type);
    } catch (...) {
        report("script: an exception left a notification; it is dropped\n");
        return nullptr;
    }
}

constexpr vesk_ms_vtable scriptTable = {destroyScript, notifyScript};

}  // namespace

vesk_client_callback* vesk_ms_export_script(vesk_client_callback* host, const char* panelPath,
                                            vesk_ms_script_maker make) {
    // Everything is allocated before the script exists, so that a failure
    // never makes a script that would have to be ended (and send "AS").
    ScriptFace* face = new (std::nothrow) ScriptFace{{&scriptTable}, nullptr, nullptr};
    if (face == nullptr) return nullptr;
    if (host != nullptr) {
        face->host = new (std::nothrow) HostView(reinterpret_cast<vesk_ms_object*>(host));
        if (face->host == nullptr) {
            delete face;
            return nullptr;
        }
    }
    try {
        face->script = make(face->host, panelPath);
    } catch (...) {
        report("script: an exception left the construction of a script\n");
    }
    if (face->script == nullptr) {
        delete face->host;
        delete face;
        return nullptr;
    }
    return reinterpret_cast<vesk_client_callback*>(&face->object);
}

#endif  // VESK_MS_LAYOUT
