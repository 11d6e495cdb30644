// vesk_ms_layout.h - the callback interface in Microsoft's object layout.
//
// Control-panel hosts on Windows are built with Microsoft's compiler, which
// lays out a vesk_client_callback as an object whose first word points at a
// table of two functions:
//   [0] the scalar deleting destructor: void* (this, unsigned flags); flags
//       bit 0 set means "free the object's storage after ending it";
//   [1] notify: char* (this, void* data, int type).
// On 32-bit x86 both are thiscall (this in ECX, the other arguments on the
// stack, removed by the callee); on x64 they follow the one Windows calling
// convention. GCC and clang for MinGW lay the same class out differently
// (two destructor slots before notify), so an object of one compiler cannot
// be called through the other's pointer.
//
// Wherever VESK_MS_LAYOUT is 1 (Windows, compiler other than Microsoft's),
// every object that crosses the factory is in the Microsoft layout: the host
// object a plug-in receives and the script object it returns. The framework
// wraps a script on its side (vesk_create_script); a host built with such a
// compiler creates plug-in objects with vesk_ms_create below. A build may
// define VESK_MS_LAYOUT to 0 to keep its compiler's own layout.
//
// The tables carry no type information in front of them: neither side may
// use RTTI on the other's object. No exception ever crosses a table call.
#ifndef VESK_MS_LAYOUT_H
#define VESK_MS_LAYOUT_H

#if VESK_MS_LAYOUT

// GCC takes thiscall on plain functions as intended but warns that they are
// not member functions; here that is the point.
#if defined(__i386__)
#define VESK_MS_MEMBER __attribute__((thiscall))
#else
#define VESK_MS_MEMBER
#endif
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#endif

struct vesk_ms_object;

extern "C" {
typedef void*(VESK_MS_MEMBER* vesk_ms_destroy_fn)(vesk_ms_object* self, unsigned int flags);
typedef char*(VESK_MS_MEMBER* vesk_ms_notify_fn)(vesk_ms_object* self, void* data, int type);
}

// Flags bit of the scalar deleting destructor: free the storage as well.
#define VESK_MS_FREE_STORAGE 1u

struct vesk_ms_vtable {
    vesk_ms_destroy_fn destroy;  // scalar deleting destructor
    vesk_ms_notify_fn notify;
};

// What the other side's pointer points at.
struct vesk_ms_object {
    const vesk_ms_vtable* vtable;
};

static_assert(sizeof(vesk_ms_vtable) == 2 * sizeof(void*), "two slots");

// A host's own object in the Microsoft layout, for the plug-ins it creates.
// A plug-in never ends its host: the destructor slot does nothing.
struct vesk_ms_host_face {
    vesk_ms_object object;          // first: the plug-in's pointer points here
    vesk_client_callback* host;     // where the plug-in's commands land
};

inline void* VESK_MS_MEMBER vesk_ms_host_face_destroy(vesk_ms_object* self, unsigned int) {
    return self;
}

inline char* VESK_MS_MEMBER vesk_ms_host_face_notify(vesk_ms_object* self, void* data, int type) {
    vesk_client_callback* host = reinterpret_cast<vesk_ms_host_face*>(self)->host;
    try {
        return host->notify(data, type);
    } catch (...) {
        return nullptr;  // the plug-in's frames cannot carry it
    }
}

inline constexpr vesk_ms_vtable vesk_ms_host_face_table = {vesk_ms_host_face_destroy,
                                                          vesk_ms_host_face_notify};

// A plug-in object in the Microsoft layout, seen by the host as a
// vesk_client_callback. It owns the object: deleting it calls the object's
// scalar deleting destructor. It also holds the face of the host object
// handed to the factory, which lives as long as the plug-in object.
class vesk_ms_plugin final : public vesk_client_callback {
public:
    explicit vesk_ms_plugin(vesk_client_callback* host) : face_{{&vesk_ms_host_face_table}, host} {}
    ~vesk_ms_plugin() override {
        if (object_ != nullptr) object_->vtable->destroy(object_, VESK_MS_FREE_STORAGE);
    }
    vesk_ms_plugin(const vesk_ms_plugin&) = delete;
    vesk_ms_plugin& operator=(const vesk_ms_plugin&) = delete;

    char* notify(void* data, int type) override {
        return object_->vtable->notify(object_, data, type);
    }

    // What the factory receives as its host (null when there is no host).
    vesk_client_callback* hostArgument() {
        return face_.host != nullptr ? reinterpret_cast<vesk_client_callback*>(&face_.object)
                                     : nullptr;
    }
    void adopt(vesk_client_callback* created) {
        object_ = reinterpret_cast<vesk_ms_object*>(created);
    }

private:
    vesk_ms_host_face face_;
    vesk_ms_object* object_ = nullptr;
};

// Creates a plug-in object through `factory`, for a host built with a
// compiler other than Microsoft's. Null when the factory gave no object; the
// result is the caller's, which ends the object by deleting it. `host` must
// outlive the result.
inline vesk_client_callback* vesk_ms_create(vesk_factory_fn factory, vesk_client_callback* host,
                                            const char* panelPath) {
    vesk_ms_plugin* plugin = new vesk_ms_plugin(host);
    vesk_client_callback* created = factory(plugin->hostArgument(), panelPath);
    if (created == nullptr) {
        delete plugin;
        return nullptr;
    }
    plugin->adopt(created);
    return plugin;
}

// The plug-in's side, compiled into the framework: makes a script with
// `make`, handing it a native view of the host's Microsoft-layout object
// (null stays null), and returns the script's Microsoft-layout face, which
// the host owns. Null, with nothing sent, when memory runs out; null too
// when `make` gives none.
typedef vesk_client_callback* (*vesk_ms_script_maker)(vesk_client_callback* host,
                                                      const char* panelPath);
vesk_client_callback* vesk_ms_export_script(vesk_client_callback* host, const char* panelPath,
                                            vesk_ms_script_maker make);

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif  // VESK_MS_LAYOUT

#endif  // VESK_MS_LAYOUT_H
