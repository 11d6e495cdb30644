// plugin_object.h - one plug-in object as the host holds it.
//
// Everything the host does to a script object goes through here: creating
// it with a module's factory (handing over the host's own callback object),
// calling its notify, and ending it with delete. This is the one place where
// the host meets the object's calling convention, so a platform whose
// plug-ins use another vtable layout adapts it here and nowhere else.
#ifndef VESK_HOST_PLUGINS_PLUGIN_OBJECT_H
#define VESK_HOST_PLUGINS_PLUGIN_OBJECT_H

#include <memory>

#include "vesk_host_abi.h"

namespace vhost {

class PluginObject {
public:
    // Calls `factory` with `host` and `panelPath`; null when it gave no object.
    // `host` must outlive the returned object.
    static std::unique_ptr<PluginObject> create(vesk_factory_fn factory,
                                                vesk_client_callback& host,
                                                const char* panelPath);
    // Ends the script object (its destructor sends its last command).
    ~PluginObject();
    PluginObject(const PluginObject&) = delete;
    PluginObject& operator=(const PluginObject&) = delete;

    char* notify(void* data, int type);

private:
    explicit PluginObject(vesk_client_callback* object) : object_(object) {}
    // Owned: created by the plug-in's factory (where the plug-in's objects are
    // in Microsoft's layout and this compiler's is another, its adapted view).
    vesk_client_callback* object_;
};

}  // namespace vhost

#endif  // VESK_HOST_PLUGINS_PLUGIN_OBJECT_H
