#include "plugins/module_set.h"

#include "platform/platform.h"

namespace vhost {

const PluginModule* ModuleSet::load(const std::string& path, std::string& error, bool& fresh) {
    const std::string key = absolutePath(path);
    fresh = false;
    auto it = modules_.find(key);
    if (it != modules_.end()) return it->second.get();
    auto module = std::make_unique<PluginModule>();
    if (!module->load(path, error)) return nullptr;
    fresh = true;
    return modules_.emplace(key, std::move(module)).first->second.get();
}

}  // namespace vhost
