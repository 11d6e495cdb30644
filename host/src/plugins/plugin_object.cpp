#include "plugin_object.h"

#if VESK_MS_LAYOUT
#include <windows.h>

#include <cstring>
#endif

namespace vhost {

namespace {

#if VESK_MS_LAYOUT
// A factory exported by a plug-in module hands out objects in Microsoft's
// layout, as every Windows host expects; a factory compiled into the host's
// own executable (the host's tests have one) is of this compiler's layout.
bool inPluginModule(vesk_factory_fn factory) {
    const char* address = nullptr;
    std::memcpy(&address, &factory, sizeof address);
    HMODULE module = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              address, &module)) {
        return true;
    }
    return module != ::GetModuleHandleA(nullptr);
}
#endif

}  // namespace

std::unique_ptr<PluginObject> PluginObject::create(vesk_factory_fn factory,
                                                   vesk_client_callback& host,
                                                   const char* panelPath) {
#if VESK_MS_LAYOUT
    // vesk_ms_create hands the factory the host's Microsoft-layout face and
    // adapts the object it returns to this compiler's layout.
    vesk_client_callback* object = inPluginModule(factory)
                                       ? vesk_ms_create(factory, &host, panelPath)
                                       : factory(&host, panelPath);
#else
    vesk_client_callback* object = factory(&host, panelPath);
#endif
    if (object == nullptr) return nullptr;
    return std::unique_ptr<PluginObject>(new PluginObject(object));
}

PluginObject::~PluginObject() { delete object_; }

char* PluginObject::notify(void* data, int type) { return object_->notify(data, type); }

}  // namespace vhost
