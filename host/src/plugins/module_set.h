// module_set.h - the plug-in modules of a facility, each loaded once.
#ifndef VESK_HOST_PLUGINS_MODULE_SET_H
#define VESK_HOST_PLUGINS_MODULE_SET_H

#include <map>
#include <memory>
#include <string>

#include "plugins/plugin_module.h"

namespace vhost {

class ModuleSet {
public:
    // The module at `path`, loaded at its first use; null, with `error`,
    // when it cannot be. `fresh` tells whether this call loaded it.
    const PluginModule* load(const std::string& path, std::string& error, bool& fresh);

private:
    std::map<std::string, std::unique_ptr<PluginModule>> modules_;  // by resolved path
};

}  // namespace vhost

#endif  // VESK_HOST_PLUGINS_MODULE_SET_H
