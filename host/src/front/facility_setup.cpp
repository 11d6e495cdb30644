#include "front/facility_setup.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "connection/connection.h"
#include "platform/platform.h"

namespace vhost {

namespace {

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool isAbsolute(const std::string& path) {
    return !path.empty() &&
           (path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':'));
}

std::string relativeTo(const std::string& folder, const std::string& path) {
    return isAbsolute(path) ? path : folder + "/" + path;
}

}  // namespace

bool FacilitySetup::fail(const std::string& message) {
    std::cout.flush();
    std::cerr << "vesk-host: " << message << "\n";
    failed_ = true;
    return false;
}

Facility* FacilitySetup::facility() {
    if (facility_ == nullptr && !failed_) build();
    return facility_.get();
}

bool FacilitySetup::configure(const std::string& path, std::string& error) {
    if (facility_ != nullptr || failed_) {
        error = "config must come before the first step that uses the facility";
        return false;
    }
    if (!options_.configPath.empty()) {
        timeline_.event(EventKind::Host, "config " + path + " not used: --config " +
                                             options_.configPath + " was given");
        return true;
    }
    scenarioConfig_ = path;
    return true;
}

bool FacilitySetup::build() {
    // The environment: the INI file the plug-in reads through VESK_CONFIG.
    const char* userConfig = std::getenv("VESK_CONFIG");
    const bool userSetConfig = userConfig != nullptr && *userConfig != '\0';
    std::string configPath = options_.configPath;
    if (configPath.empty()) configPath = scenarioConfig_;
    if (configPath.empty() && userSetConfig) configPath = userConfig;
    Environment env;
    if (!configPath.empty()) {
        if (pathKind(configPath) == PathKind::Directory) {
            return fail("configuration " + configPath + " is a folder, not a file");
        }
        std::ifstream in(configPath, std::ios::binary);
        if (!in) return fail("cannot read configuration " + configPath);
        std::vector<std::string> errors;
        env = parseEnvironment(in, configPath, errors);
        if (!errors.empty()) {
            std::cout.flush();
            for (const auto& error : errors) std::cerr << "vesk-host: " << error << "\n";
            failed_ = true;
            return false;
        }
        if (!userSetConfig) setEnvironment("VESK_CONFIG", absolutePath(configPath));
        if (addOn_ != nullptr && !addOn_->configure(configPath, errors)) {
            std::cout.flush();
            for (const auto& error : errors) std::cerr << "vesk-host: " << error << "\n";
            failed_ = true;
            return false;
        }
    }
    const bool declared = !env.components.empty();
    printer_.showComponents(declared);

    // Every module is loaded before anything runs, so a bad path stops the run at once.
    const std::string folder = folderOf(configPath);
    struct Planned {
        std::string name;
        const PluginModule* module;
        std::string plugin;
        std::string panels;
        std::vector<std::string> params;
    };
    std::vector<Planned> planned;
    std::vector<std::string> loaded;
    auto plan = [&](const std::string& name, const std::string& plugin,
                    const std::string& panels, const std::vector<std::string>& params) {
        std::string error;
        bool fresh = false;
        const PluginModule* module = modules_.load(plugin, error, fresh);
        if (module == nullptr) return fail(error);
        if (fresh) loaded.push_back(plugin);
        planned.push_back(Planned{name, module, plugin, panels, params});
        return true;
    };
    if (!declared) {
        if (!plan("main", options_.pluginPath, options_.panelsDir, {})) return false;
    }
    for (const DeclaredComponent& declared : env.components) {
        const std::string plugin =
            declared.plugin.empty() ? options_.pluginPath : relativeTo(folder, declared.plugin);
        // A component of a module of its own gets that module's folder,
        // where its layouts are installed; the others share the default.
        const std::string panels = !declared.panels.empty() ? relativeTo(folder, declared.panels)
                                   : declared.plugin.empty() ? options_.panelsDir
                                                             : folderOf(plugin);
        if (!plan(declared.name, plugin, panels, declared.params)) return false;
    }

    if (userSetConfig && !configPath.empty() &&
        absolutePath(configPath) != absolutePath(userConfig)) {
        timeline_.event(EventKind::Warning,
                        "VESK_CONFIG is set to " + std::string(userConfig) +
                            ", so the plug-in reads that file, not " + configPath);
    }
    for (const std::string& plugin : loaded) timeline_.event(EventKind::Host, "loaded " + plugin);
    if (configPath.empty()) {
        timeline_.event(EventKind::Host, "no configuration: no instances, slots or inputs");
    } else {
        timeline_.event(EventKind::Host,
                        "configuration " + configPath + ": " +
                            std::to_string(env.instances.size()) + " instances" +
                            (declared ? ", " + std::to_string(env.components.size()) +
                                            " components"
                                      : ""));
    }

    configPath_ = configPath;
    facility_ = std::make_unique<Facility>(std::move(env), timeline_, options_.capture);
    if (!facility_->captureProblem().empty()) {
        timeline_.event(EventKind::Warning, facility_->captureProblem());
    }
    if (addOn_ != nullptr) addOn_->attach(*facility_);
    for (const Planned& component : planned) {
        Connection& connection = facility_->addComponent(component.name,
                                                         component.module->factory(),
                                                         component.panels, component.plugin);
        if (!connection.create()) {
            facility_.reset();
            return fail("the factory of " + component.plugin + " returned no component");
        }
        for (const std::string& param : component.params) connection.parentRequest(param);
    }
    return true;
}

}  // namespace vhost
