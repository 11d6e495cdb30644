// plugin_module.h - loading a plug-in module and finding its factory.
#ifndef VESK_HOST_PLUGINS_PLUGIN_MODULE_H
#define VESK_HOST_PLUGINS_PLUGIN_MODULE_H

#include <string>

#include "vesk_host_abi.h"

namespace vhost {

// A loaded module; unloaded when the object ends.
class PluginModule {
public:
    PluginModule() = default;
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    // Loads `path` and resolves the factory. On failure returns false and
    // sets `error` to a message that names the path and the cause.
    bool load(const std::string& path, std::string& error);
    vesk_factory_fn factory() const { return factory_; }

private:
    void* handle_ = nullptr;
    vesk_factory_fn factory_ = nullptr;
};

}  // namespace vhost

#endif  // VESK_HOST_PLUGINS_PLUGIN_MODULE_H
