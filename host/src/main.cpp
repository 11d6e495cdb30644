// vesk-host: a simulated control-panel host for trying plug-ins and their
// configuration, one component or a whole facility, before they go into a
// live facility.
//
//   vesk-host [options] [scenario]     run a scenario file ("-" or none: standard input)
//
// Exit status: 0 when every expectation held, 1 when one failed (or a
// scenario line could not be run, the plug-in broke the reply rules, or,
// with --strict, a warning was given), 2 on a usage, configuration or load
// error, 3 when the plug-in crashed the host.
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "bridges/bridges.h"
#include "connection/connection.h"
#include "facility/facility.h"
#include "facility/timeline.h"
#include "front/facility_setup.h"
#include "front/recording/recorder.h"
#include "front/scenario.h"
#include "front/timeline_printer.h"
#include "platform/crash_guard.h"
#include "platform/platform.h"
#include "plugins/module_record.h"
#include "vesk_host_abi.h"

#ifdef VESK_HOST_WITH_WEB
#include "front/web/camera_list.h"
#include "front/web/facility_backend.h"
#include "front/web/web_server.h"
#endif

#ifndef VESK_HOST_DEFAULT_PLUGIN
#error "VESK_HOST_DEFAULT_PLUGIN (file name of the plug-in beside vesk-host) must be defined"
#endif
#if !defined(VESK_HOST_INSTALLED_PLUGIN) || !defined(VESK_HOST_EXAMPLES_DIR) || \
    !defined(VESK_HOST_VERSION)
#error "VESK_HOST_INSTALLED_PLUGIN, VESK_HOST_EXAMPLES_DIR (relative to vesk-host) and VESK_HOST_VERSION must be defined"
#endif

namespace {

const int exitFailed = 1;
const int exitUsage = 2;

const char usageText[] =
    "usage: vesk-host [options] [scenario]\n"
    "  scenario          scenario file; '-' or none reads standard input\n"
    "  --plugin PATH     plug-in module (default: " VESK_HOST_DEFAULT_PLUGIN
    " beside vesk-host, else\n"
    "                    " VESK_HOST_INSTALLED_PLUGIN " from vesk-host's folder)\n"
    "  --panels DIR      panel folder handed to the plug-in (default: the plug-in's folder)\n"
    "  --config FILE     environment INI: instances, info slots, GPI inputs, components;\n"
    "                    also given to the plug-in as VESK_CONFIG unless that is already set\n"
    "  --json            one JSON object per event\n"
    "  --quiet           print only failures and warnings\n"
    "  --strict          warnings fail the run, except those the scenario expects\n"
    "  --no-capture      leave the plug-in's stderr alone (diagnostics are not in the timeline)\n"
#ifdef VESK_HOST_WITH_WEB
    "  --serve [ADDR:]PORT  after the scenario, run the facility in real time and serve\n"
    "                    its live page (default address 127.0.0.1) until interrupted\n"
    "  --token TOKEN     the token every request to the live page must carry\n"
    "  --record FILE     with --serve: write what the page and API do as a scenario\n"
    "                    that replays the rehearsal and checks its outcome\n"
#endif
    "  --version         the version and host ABI of vesk-host, and the bundled\n"
    "                    component's version\n"
    "  -h, --help        this text\n"
    "exit status: 0 all held, 1 a failure, 2 usage or load error, 3 the plug-in crashed\n";

int usage(const std::string& message) {
    std::cerr << "vesk-host: " << message << "\n" << usageText;
    return exitUsage;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The component built beside vesk-host, else the one of the installed tree.
std::string defaultPlugin(const std::string& hostFolder) {
    const std::string beside = hostFolder + "/" VESK_HOST_DEFAULT_PLUGIN;
    if (vhost::pathKind(beside) == vhost::PathKind::File) return beside;
    const std::string installed = hostFolder + "/" VESK_HOST_INSTALLED_PLUGIN;
    return vhost::pathKind(installed) == vhost::PathKind::File ? vhost::absolutePath(installed)
                                                                 : beside;
}

// The host's version and host ABI, and the bundled component's version as
// its module records it.
void printVersion(const std::string& hostFolder) {
    std::cout << "vesk-host " VESK_HOST_VERSION " (host ABI " VESK_HOST_ABI_TEXT ")\n";
    const std::string plugin = defaultPlugin(hostFolder);
    const vhost::ModuleRecord record = vhost::readModuleRecord(plugin);
    const auto name = record.fields.find("InternalName");
    const auto version = record.fields.find("FileVersion");
    if (name != record.fields.end() && version != record.fields.end()) {
        std::cout << "component " << name->second << " " << version->second << ": "
                  << vhost::absolutePath(plugin) << "\n";
    } else {
        std::cout << "component: none found at " << plugin << "\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    vhost::SetupOptions setup;
    const std::string hostFolder = vhost::executableDirectory(argv[0]);
    setup.pluginPath = defaultPlugin(hostFolder);
    bool panelsGiven = false;
    std::string scenarioPath;
    vhost::OutputMode mode = vhost::OutputMode::Readable;
    bool strict = false;
    std::string serveAddress;
    std::string token;
    // Read only where the live page is built in.
    [[maybe_unused]] bool tokenGiven = false;
    std::string recordPath;
    bool recordGiven = false;
    [[maybe_unused]] bool pluginGiven = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::cout << usageText << "examples: "
                      << vhost::absolutePath(hostFolder + "/" VESK_HOST_EXAMPLES_DIR) << "\n";
            return 0;
        } else if (arg == "--version") {
            printVersion(hostFolder);
            return 0;
        } else if (arg == "--plugin") {
            if (!value(setup.pluginPath)) return usage("--plugin needs a path");
            pluginGiven = true;
        } else if (arg == "--panels") {
            if (!value(setup.panelsDir)) return usage("--panels needs a folder");
            panelsGiven = true;
        } else if (arg == "--config") {
            if (!value(setup.configPath)) return usage("--config needs a file");
        } else if (arg == "--json") {
            mode = vhost::OutputMode::Json;
        } else if (arg == "--quiet") {
            mode = vhost::OutputMode::Quiet;
        } else if (arg == "--strict") {
            strict = true;
        } else if (arg == "--no-capture") {
            setup.capture = false;
#ifdef VESK_HOST_WITH_WEB
        } else if (arg == "--serve") {
            if (!value(serveAddress)) return usage("--serve needs [ADDR:]PORT");
        } else if (arg == "--token") {
            if (!value(token)) return usage("--token needs a text");
            tokenGiven = true;
        } else if (arg == "--record") {
            if (!value(recordPath)) return usage("--record needs a file");
            if (recordPath.empty()) return usage("--record needs a file name, not an empty one");
            recordGiven = true;
#endif
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage("unknown option " + arg);
        } else if (!scenarioPath.empty()) {
            return usage("only one scenario file");
        } else {
            scenarioPath = arg;
        }
    }
    const bool serving = !serveAddress.empty();
    if (recordGiven && !serving) return usage("--record needs --serve");
    // A component's panel layouts are installed beside its module.
    if (!panelsGiven) setup.panelsDir = folderOf(setup.pluginPath);

    if (!setup.configPath.empty() &&
        vhost::pathKind(setup.configPath) == vhost::PathKind::Directory) {
        std::cerr << "vesk-host: configuration " << setup.configPath
                  << " is a folder, not a file\n";
        return exitUsage;
    }
    std::ifstream scenarioFile;
    const bool fromStdin = !serving && (scenarioPath.empty() || scenarioPath == "-");
    if (!scenarioPath.empty() && scenarioPath != "-") {
        if (vhost::pathKind(scenarioPath) == vhost::PathKind::Directory) {
            std::cerr << "vesk-host: scenario " << scenarioPath << " is a folder, not a file\n";
            return exitUsage;
        }
        scenarioFile.open(scenarioPath, std::ios::binary);
        if (!scenarioFile) {
            std::cerr << "vesk-host: cannot read scenario " << scenarioPath << "\n";
            return exitUsage;
        }
    }
#ifdef VESK_HOST_WITH_WEB
    // The port is taken before the scenario runs: a busy port or a bad
    // token ends the run at once.
    vhost::web::LiveServer liveServer;
    // How the live loop hands jobs to the facility thread, for the TSL listeners.
    std::function<void(std::function<void(std::function<void()>)>)> onFacilityThread;
    // A TSL listener that cannot be bound ends the live run as a busy port does.
    std::atomic<bool> listenerFailed{false};
    if (serving) {
        vhost::web::ServeOptions serveOptions;
        serveOptions.stop = &listenerFailed;
        serveOptions.facilityThread = [&onFacilityThread](auto post) {
            if (onFacilityThread) onFacilityThread(std::move(post));
        };
        std::string error;
        if (!vhost::web::parseServeAddress(serveAddress, serveOptions, error)) return usage(error);
        if (tokenGiven && !vhost::web::validToken(token, error)) return usage("--token: " + error);
        serveOptions.token = token;
        if (!liveServer.open(serveOptions, error)) {
            std::cerr << "vesk-host: " << error << "\n";
            return exitUsage;
        }
        // Only a regular file or a new one: a device or a pipe would block
        // the start or feed a download without end, a link hides what is replaced.
        bool replaces = false;
        if (recordGiven && !vhost::Recorder::checkFile(recordPath, replaces, error)) {
            std::cerr << "vesk-host: " << error << "\n";
            return exitUsage;
        }
        if (recordGiven && !std::ofstream(recordPath, std::ios::app)) {
            std::cerr << "vesk-host: cannot write the recording " << recordPath << "\n";
            return exitUsage;
        }
        if (replaces) {
            std::cerr << "vesk-host: the recording " << recordPath
                      << " exists; this run replaces what it holds\n";
        }
    }
#endif

    vhost::installCrashGuard();
    vhost::TimelinePrinter printer(std::cout, mode);
    vhost::Timeline timeline;
    timeline.addSink(&printer);
    // The TSL bridges outlive the facility, which tells them of every change.
    vhost::tsl::Bridges bridges(timeline);
    vhost::FacilitySetup facilitySetup(setup, timeline, printer);
    facilitySetup.setAddOn(&bridges);

#ifdef VESK_HOST_WITH_WEB
    // Listening from the start, so that the page shows the scenario's events too.
    std::unique_ptr<vhost::web::FacilityBackend> backend;
    if (serving) backend = std::make_unique<vhost::web::FacilityBackend>(timeline);
#endif

    vhost::ScenarioRunner runner(facilitySetup, timeline);
    runner.setExtension(&bridges);
    if (!scenarioPath.empty() && scenarioPath != "-") runner.setFolder(folderOf(scenarioPath));
    if (scenarioFile.is_open()) {
        runner.run(scenarioFile, false);
    } else if (fromStdin) {
        runner.run(std::cin, vhost::standardInputIsTerminal());
    }
    vhost::Facility* facility = facilitySetup.facility();
    if (facility == nullptr) return exitUsage;

#ifdef VESK_HOST_WITH_WEB
    if (serving) {
        backend->attach(*facility);
        vhost::Recorder recorder(*facility, timeline);
        std::string error;
        if (!recorder.start({recordPath, facilitySetup.configPath(), scenarioPath,
                             pluginGiven ? setup.pluginPath : std::string()},
                            error)) {
            std::cerr << "vesk-host: " << error << "\n";
            return exitUsage;
        }
        backend->setRecorder(&recorder);
        // While serving, a component's command and diagnostic logs would be
        // read by nothing (the recorder keeps the commands of each action
        // itself), and at 10,000 components they cost a cut more than
        // anything else the live program adds: only their counts are kept.
        facility->setLogCapacity(0);
        for (const auto& component : facility->components()) component->setLogCapacity(0);
        std::vector<std::string> cameraErrors;
        const auto cameras = vhost::web::readCameras(facilitySetup.configPath(), cameraErrors);
        for (const auto& cameraError : cameraErrors) std::cerr << "vesk-host: " << cameraError << "\n";
        if (!cameraErrors.empty()) return exitUsage;
        backend->addPart("cameras", [&cameras] { return vhost::web::camerasJson(cameras); });
        // A packet from the mixer is recorded as the step that feeds it again.
        bridges.setReceiveWrapper(
            [&recorder](const std::string& step, const std::function<void()>& handle) {
                vhost::Recorder::Action recorded(&recorder, "", step, true);
                handle();
            });
        bridges.alsoTell(backend.get());
        backend->addPart("bridges", [&bridges] { return bridges.state(); });
        bridges.setPublisher(
            [&backend](const nlohmann::json& event) { backend->publishEvent(event); },
            [&backend] { backend->askFlush(); });
        backend->setBeforeFlush([&bridges] { bridges.publishChanges(); });
        onFacilityThread = [&](std::function<void(std::function<void()>)> post) {
            if (post) {
                if (!bridges.serve(std::move(post), std::cerr)) listenerFailed = true;
            } else {
                bridges.stopServing();
            }
        };
        // A burst of thousands of changes is not printed or sent in full.
        timeline.limitDetail(vhost::web::FacilityBackend::routineEventsPerBatch);
        liveServer.run(*backend, std::cerr);
        timeline.limitDetail(0);
        backend->setRecorder(nullptr);
        bridges.setReceiveWrapper(nullptr);
        bridges.setPublisher(nullptr);
        backend->setBeforeFlush(nullptr);
        bridges.stopTelling(backend.get());
    }
#endif

    bool anyAlive = false;
    for (const auto& component : facility->components()) anyAlive |= component->alive();
    if (anyAlive && mode != vhost::OutputMode::Quiet) {
        timeline.event(vhost::EventKind::Host, "end of scenario; panel and slots:");
        for (const auto& component : facility->components()) component->showPanels();
        facility->showSlots();
    }
    facility->finish();
    bridges.finish();

    const int warnings = timeline.warnings();
    const int expectedWarnings = timeline.expectedWarnings();
    const int failures = timeline.failures() + (strict ? warnings - expectedWarnings : 0);
    std::string summary =
        std::to_string(runner.expectations() - runner.failedExpectations()) + " of " +
        std::to_string(runner.expectations()) + " expectations held";
    if (warnings > 0) {
        summary += "; " + std::to_string(warnings) + " warning(s)";
        if (expectedWarnings > 0) summary += ", " + std::to_string(expectedWarnings) + " expected";
        if (strict && warnings > expectedWarnings) summary += " (failures under --strict)";
    }
    if (failures > 0) {
        timeline.event(vhost::EventKind::Failure,
                       summary + "; " + std::to_string(failures) + " failure(s) in all");
    } else {
        timeline.event(vhost::EventKind::Host, summary);
    }
    std::cout.flush();
#ifdef VESK_HOST_WITH_WEB
    if (listenerFailed) return exitUsage;
#endif
    return failures > 0 ? exitFailed : 0;
}
