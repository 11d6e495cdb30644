// vesk-host: a simulated control-panel host for trying a plug-in and its
// configuration before it goes into a live facility.
//
//   vesk-host [options] [scenario]     run a scenario file ("-" or none: standard input)
//
// Exit status: 0 when every expectation held, 1 when one failed (or a
// scenario line could not be run, or the plug-in broke the reply rules),
// 2 on a usage, configuration or load error.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "host_parsers.h"
#include "platform/crash_guard.h"
#include "platform/platform.h"
#include "plugins/plugin_module.h"
#include "scenario.h"
#include "simulated_host.h"
#include "timeline.h"

#ifndef VESK_HOST_DEFAULT_PLUGIN
#error "VESK_HOST_DEFAULT_PLUGIN (file name of the plug-in beside vesk-host) must be defined"
#endif
#ifndef VESK_HOST_PANELS_DIR
#error "VESK_HOST_PANELS_DIR (the bundled panel folder) must be defined"
#endif

namespace {

const int exitFailed = 1;
const int exitUsage = 2;

const char usageText[] =
    "usage: vesk-host [options] [scenario]\n"
    "  scenario          scenario file; '-' or none reads standard input\n"
    "  --plugin PATH     plug-in module (default: " VESK_HOST_DEFAULT_PLUGIN
    " beside vesk-host)\n"
    "  --panels DIR      panel folder handed to the plug-in (default: the bundled panels)\n"
    "  --config FILE     environment INI: instances, info slots, GPI inputs; also given\n"
    "                    to the plug-in as VESK_CONFIG unless that is already set\n"
    "  --json            one JSON object per event\n"
    "  --quiet           print only failures\n"
    "  --no-capture      leave the plug-in's stderr alone (diagnostics are not in the timeline)\n"
    "  -h, --help        this text\n";

int usage(const std::string& message) {
    std::cerr << "vesk-host: " << message << "\n" << usageText;
    return exitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pluginPath = vhost::executableDirectory(argv[0]) + "/" + VESK_HOST_DEFAULT_PLUGIN;
    std::string panelsDir = VESK_HOST_PANELS_DIR;
    std::string configPath;
    std::string scenarioPath;
    vhost::OutputMode mode = vhost::OutputMode::Readable;
    bool capture = true;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::cout << usageText;
            return 0;
        } else if (arg == "--plugin") {
            if (!value(pluginPath)) return usage("--plugin needs a path");
        } else if (arg == "--panels") {
            if (!value(panelsDir)) return usage("--panels needs a folder");
        } else if (arg == "--config") {
            if (!value(configPath)) return usage("--config needs a file");
        } else if (arg == "--json") {
            mode = vhost::OutputMode::Json;
        } else if (arg == "--quiet") {
            mode = vhost::OutputMode::Quiet;
        } else if (arg == "--no-capture") {
            capture = false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage("unknown option " + arg);
        } else if (!scenarioPath.empty()) {
            return usage("only one scenario file");
        } else {
            scenarioPath = arg;
        }
    }

    // The environment: the INI file the plug-in reads through VESK_CONFIG.
    const char* userConfig = std::getenv("VESK_CONFIG");
    const bool userSetConfig = userConfig != nullptr && *userConfig != '\0';
    if (configPath.empty() && userSetConfig) configPath = userConfig;
    vhost::Environment env;
    if (!configPath.empty()) {
        std::ifstream in(configPath);
        if (!in) {
            std::cerr << "vesk-host: cannot read configuration " << configPath << "\n";
            return exitUsage;
        }
        std::vector<std::string> errors;
        env = vhost::parseEnvironment(in, configPath, errors);
        if (!errors.empty()) {
            for (const auto& error : errors) std::cerr << "vesk-host: " << error << "\n";
            return exitUsage;
        }
        if (!userSetConfig) vhost::setEnvironment("VESK_CONFIG", vhost::absolutePath(configPath));
    }

    std::ifstream scenarioFile;
    const bool fromStdin = scenarioPath.empty() || scenarioPath == "-";
    if (!fromStdin) {
        scenarioFile.open(scenarioPath);
        if (!scenarioFile) {
            std::cerr << "vesk-host: cannot read scenario " << scenarioPath << "\n";
            return exitUsage;
        }
    }

    // The module outlives the host, which ends the component before it.
    vhost::PluginModule module;
    std::string error;
    if (!module.load(pluginPath, error)) {
        std::cerr << "vesk-host: " << error << "\n";
        return exitUsage;
    }

    vhost::Timeline timeline(std::cout, mode);
    if (userSetConfig && !configPath.empty() &&
        vhost::absolutePath(configPath) != vhost::absolutePath(userConfig)) {
        timeline.event(vhost::EventKind::Host,
                       "warning: VESK_CONFIG is set to " + std::string(userConfig) +
                           ", so the plug-in reads that file, not " + configPath);
    }
    timeline.event(vhost::EventKind::Host, "loaded " + pluginPath);
    if (configPath.empty()) {
        timeline.event(vhost::EventKind::Host, "no configuration: no instances, slots or inputs");
    } else {
        timeline.event(vhost::EventKind::Host, "configuration " + configPath + ": " +
                                                   std::to_string(env.instances.size()) +
                                                   " instances");
    }

    vhost::SimulatedHost host(std::move(env), timeline, capture);
    if (!host.create(module.factory(), panelsDir)) {
        std::cout.flush();
        std::cerr << "vesk-host: the factory of " << pluginPath << " returned no component\n";
        return exitUsage;
    }

    vhost::ScenarioRunner runner(host, timeline);
    runner.run(fromStdin ? std::cin : scenarioFile, fromStdin && vhost::standardInputIsTerminal());

    if (host.hasComponent() && mode != vhost::OutputMode::Quiet) {
        timeline.event(vhost::EventKind::Host, "end of scenario; panel and slots:");
        host.showPanels();
        host.showSlots();
    }
    host.finish();

    const int failures = timeline.failures();
    const std::string summary =
        std::to_string(runner.expectations() - runner.failedExpectations()) + " of " +
        std::to_string(runner.expectations()) + " expectations held";
    if (failures > 0) {
        timeline.event(vhost::EventKind::Failure,
                       summary + "; " + std::to_string(failures) + " failure(s) in all");
    } else {
        timeline.event(vhost::EventKind::Host, summary);
    }
    std::cout.flush();
    return failures > 0 ? exitFailed : 0;
}
