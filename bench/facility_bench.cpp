// facility_bench - a whole facility of tally components in vesk-host.
//
// Loads the built plug-in module with the host's own loader and runs n
// components (n = 10, 100, 1000, 10000) in a vhost::Facility, the host's
// real routing, timer queue and command handling, with the timeline
// switched off (no sink) and diagnostics not captured. Component k watches
// GPI device 3, input k, and writes tally value "1" to info device 12,
// slot k, and to the "Tally" control of its panel.
//
// The environment is generated: an INI file per n with the instances, the
// GPI inputs and one [component.camK] section each, its modification time
// set into the past so that the plug-in's configuration reader keeps it.
//
// Cases:
//   BM_BringUp/n        create the n components, send their parameters,
//                       advance 500 ms (start-up tick, registration, poll);
//                       the time is per component
//   BM_RoutedUpdate/n   Facility::forceGpi on one component's input, cycling
//                       over the components and toggling 0/1: host -> plug-in
//                       -> tally slot and panel; also reports resident bytes
//                       per idle component and heap allocations per update
//   BM_FacilityCut/n    every input changes at once (a cut of the whole
//                       facility): n forced inputs, each routed to its
//                       component, its slot and its panel; time per cut
//   BM_PluginFloor      the same update into one component alone, with a
//                       host that only counts commands
// After the run, the ratios that the scale goals are stated in are printed,
// from the thread's CPU time (the CPU column).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "allocation_counter.h"
#include "bench_hosts.h"
#include "connection/connection.h"
#include "facility/facility.h"
#include "facility/timeline.h"
#include "text/host_parsers.h"
#include "plugins/plugin_module.h"

namespace {

// The figures are the thread's CPU time: on a machine shared with other
// work, wall-clock time measures the other work as well.
struct Clock {
    using time_point = std::chrono::duration<double>;
    static time_point now() {
        timespec spent{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &spent);
        return time_point(static_cast<double>(spent.tv_sec) + spent.tv_nsec * 1e-9);
    }
};

const std::int32_t gpiDevice = 3;
const std::int32_t tallyDevice = 12;

// ---------------------------------------------------------------------------
// Environment files.

std::string folder() {
    static const std::string path = [] {
        char pattern[] = "/tmp/facility_bench.XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made != nullptr ? made : "/tmp");
    }();
    return path;
}

std::string configPath(int n) { return folder() + "/facility_" + std::to_string(n) + ".ini"; }

// Writes the INI for n components (once) and returns its path. The file is
// dated ten seconds back: the plug-in re-reads files changed in the last
// three seconds, and would otherwise parse it again at every lookup.
const std::string& configFor(int n) {
    static std::map<int, std::string> written;
    auto found = written.find(n);
    if (found != written.end()) return found->second;
    std::ostringstream ini;
    ini << "[instances.tallybus]\ndevice = " << tallyDevice << "\noffset = 1\ndrvtype = i\n\n";
    for (int k = 1; k <= n; ++k) {
        ini << "[instances.cam" << k << "]\ndevice = " << gpiDevice << "\noffset = " << k
            << "\ndrvtype = g\n\n";
    }
    ini << "[gpi." << gpiDevice << "]\n";
    for (int k = 1; k <= n; ++k) ini << k << " = 0\n";
    for (int k = 1; k <= n; ++k) {
        ini << "\n[component.cam" << k << "]\nparam.setslot = tallybus\nparam.slotoffset = "
            << k - 1 << "\nparam.tally_on = 1\nparam.tally_val = 1\nparam.instance = cam" << k
            << "\n";
    }
    const std::string path = configPath(n);
    std::ofstream(path, std::ios::binary) << ini.str();
    const timespec past = {std::time(nullptr) - 10, 0};
    const timespec times[2] = {past, past};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    return written.emplace(n, path).first->second;
}

vhost::Environment environmentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> errors;
    vhost::Environment env = vhost::parseEnvironment(in, path, errors);
    for (const auto& error : errors) std::fprintf(stderr, "facility_bench: %s\n", error.c_str());
    return env;
}

// ---------------------------------------------------------------------------
// The module and the facility.

const char* modulePath() {
    const char* path = std::getenv("VARNIK_MODULE");
    return path != nullptr && *path != '\0' ? path : VARNIK_BENCH_MODULE;
}

const vhost::PluginModule* theModule() {
    static vhost::PluginModule module;
    static const bool loaded = [] {
        std::string error;
        if (module.load(modulePath(), error)) return true;
        std::fprintf(stderr, "facility_bench: %s\n", error.c_str());
        return false;
    }();
    return loaded ? &module : nullptr;
}

std::size_t residentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    }
    return 0;
}

// A facility of n components, brought up as vesk-host brings up the
// components an INI declares.
struct World {
    vhost::Timeline timeline;  // no sink: routine events build no text
    std::unique_ptr<vhost::Facility> facility;
    int n = 0;

    explicit World(int count) : n(count) {
        const std::string& path = configFor(n);
        setenv("VESK_CONFIG", path.c_str(), 1);
        facility = std::make_unique<vhost::Facility>(environmentOf(path), timeline, false);
        // No expectation reads the command logs here, as no printer reads the timeline.
        facility->setLogCapacity(0);
    }
    ~World() {
        if (facility != nullptr) facility->finish();
    }

    // Creates every component and sends its parameters, then lets the
    // start-up timer tick: each component registers its input and polls it.
    bool bringUp() {
        const vhost::PluginModule* module = theModule();
        if (module == nullptr) return false;
        const std::string plugin = modulePath();
        const std::vector<vhost::DeclaredComponent> declaredComponents = facility->environment().components;
        for (const vhost::DeclaredComponent& declared : declaredComponents) {
            vhost::Connection& component =
                facility->addComponent(declared.name, module->factory(), VARNIK_BENCH_PANELS, plugin);
            if (!component.create()) return false;
            for (const std::string& param : declared.params) component.parentRequest(param);
        }
        facility->advance(500);
        return true;
    }

    // Component k (from 1) follows its input into its slot and its panel.
    bool follows(int k, std::int32_t state) {
        facility->forceGpi(gpiDevice, k, state);
        const std::string expected = std::to_string(state);
        const vhost::Connection* component = facility->components()[k - 1].get();
        const vhost::Control* tally = component->findControl("Tally");
        const std::string* shown = tally != nullptr ? tally->property("text") : nullptr;
        return facility->infoText(tallyDevice, k) == expected && shown != nullptr &&
               *shown == expected;
    }
};

// Figures kept for the summary printed after the run.
struct Figures {
    std::map<int, double> bringUpNs;  // per component
    std::map<int, double> updateNs;   // per routed update
    std::map<int, double> rssPerComponent;
    std::map<int, double> allocsPerUpdate;
    std::map<int, double> cutNs;  // per whole-facility cut
    std::map<int, double> allocsPerCut;
    double floorNs = 0;
};
Figures figures;

void BM_BringUp(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    configFor(n);
    for (auto _ : state) {
        World world(n);
        const Clock::time_point start = Clock::now();
        const bool up = world.bringUp();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!up || !world.follows(n, 1)) {
            state.SkipWithError("bring-up failed: the last component does not follow its input");
            return;
        }
        state.SetIterationTime(seconds / n);
        // The least disturbed of the iterations: other work on the machine only adds.
        const double perComponent = seconds * 1e9 / n;
        auto& least = figures.bringUpNs[n];
        if (least == 0 || perComponent < least) least = perComponent;
    }
    state.counters["components"] = n;
}

// The facility the routed updates run in: one at a time, so that the
// resident size measured for it is that of its own components.
std::unique_ptr<World> steady;

World* steadyWorld(int n, benchmark::State& state) {
    if (steady != nullptr && steady->n == n) return steady.get();
    steady.reset();
    malloc_trim(0);  // give freed pages back, so the next figure is not hidden in them
    configFor(n);
    const std::size_t before = residentBytes();
    auto world = std::make_unique<World>(n);
    if (!world->bringUp()) {
        state.SkipWithError("bring-up failed");
        return nullptr;
    }
    figures.rssPerComponent[n] = static_cast<double>(residentBytes() - before) / n;
    // Check the whole path at both ends before measuring it.
    if (!world->follows(1, 1) || !world->follows(n, 1) || !world->follows(1, 0) ||
        !world->follows(n, 0)) {
        state.SkipWithError("a forced input did not reach its tally slot and panel");
        return nullptr;
    }
    steady = std::move(world);
    return steady.get();
}

void BM_RoutedUpdate(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    World* world = steadyWorld(n, state);
    if (world == nullptr) return;
    vhost::Facility& facility = *world->facility;
    // Warm up: a full round on and off, so that every component's logs and
    // panel hold their steady-state storage.
    for (int k = 1; k <= n; ++k) facility.forceGpi(gpiDevice, k, 1);
    for (int k = 1; k <= n; ++k) facility.forceGpi(gpiDevice, k, 0);

    std::uint64_t commandsBefore = 0;
    for (const auto& component : facility.components()) commandsBefore += component->commands().end();
    int k = 0;
    std::int32_t level = 1;
    const std::uint64_t allocationsBefore = allocationCount();
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        facility.forceGpi(gpiDevice, k + 1, level);
        if (++k == n) {
            k = 0;
            level ^= 1;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double allocations = static_cast<double>(allocationCount() - allocationsBefore);
    std::uint64_t commandsAfter = 0;
    for (const auto& component : facility.components()) commandsAfter += component->commands().end();

    const double updates = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs_per_update"] = allocations / updates;
    state.counters["commands_per_update"] = static_cast<double>(commandsAfter - commandsBefore) / updates;
    state.counters["rss_per_component"] = figures.rssPerComponent[n];
    figures.updateNs[n] = seconds * 1e9 / updates;
    figures.allocsPerUpdate[n] = allocations / updates;
}

void BM_FacilityCut(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    World* world = steadyWorld(n, state);
    if (world == nullptr) return;
    vhost::Facility& facility = *world->facility;
    std::int32_t level = 1;
    std::vector<double> cutSeconds;
    cutSeconds.reserve(static_cast<std::size_t>(state.max_iterations));
    const std::uint64_t allocationsBefore = allocationCount();
    // Large cuts are timed one by one (reading the clock costs about as much
    // as a small cut, so small ones are timed together).
    const bool each = n >= 1000;
    const Clock::time_point begin = Clock::now();
    for (auto _ : state) {
        const Clock::time_point start = each ? Clock::now() : begin;
        for (int k = 1; k <= n; ++k) facility.forceGpi(gpiDevice, k, level);
        if (each) cutSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        level ^= 1;
    }
    if (!each) {
        cutSeconds.push_back(std::chrono::duration<double>(Clock::now() - begin).count() /
                             static_cast<double>(state.iterations()));
    }
    const double allocations = static_cast<double>(allocationCount() - allocationsBefore);
    // Every component followed the last cut, the first and the last checked.
    const std::string expected = std::to_string(level ^ 1);
    for (const int k : {1, n}) {
        const vhost::Control* tally = facility.components()[k - 1]->findControl("Tally");
        const std::string* shown = tally != nullptr ? tally->property("text") : nullptr;
        if (facility.infoText(tallyDevice, k) != expected || shown == nullptr ||
            *shown != expected) {
            state.SkipWithError("a component did not follow the cut");
            return;
        }
    }
    const double cuts = static_cast<double>(state.iterations());
    state.counters["allocs_per_cut"] = allocations / cuts;
    // The median cut: a cut the machine's other work interrupted is an outlier.
    std::sort(cutSeconds.begin(), cutSeconds.end());
    figures.cutNs[n] = cutSeconds.empty() ? 0 : cutSeconds[cutSeconds.size() / 2] * 1e9;
    figures.allocsPerCut[n] = allocations / cuts;
}

// One component alone with a host that only counts: the plug-in's floor.
struct Floor {
    InstanceTable instances;
    std::unique_ptr<CountingHost> host;
    std::unique_ptr<vesk_client_callback> component;
    driverUpdateRecord updates[2];
    int level = 1;

    bool setUp() {
        const vhost::PluginModule* module = theModule();
        if (module == nullptr) return false;
        setenv("VESK_CONFIG", configFor(10).c_str(), 1);
        instances.add("cam1", "3 1");
        instances.add("tallybus", "12 1");
        host = std::make_unique<CountingHost>(instances);
        component.reset(module->factory()(host.get(), VARNIK_BENCH_PANELS));
        for (const char* key : {"setslot=tallybus", "slotoffset=0", "tally_on=1", "tally_val=1",
                                "instance=cam1"}) {
            std::string text = key;
            char* reply = component->notify(&text[0], VESK_NOTIFY_PARENT_REQUEST);
            if (reply != nullptr) component->notify(reply, VESK_NOTIFY_RELEASE);
        }
        component->notify(reinterpret_cast<void*>(std::intptr_t{1}), VESK_NOTIFY_TIMER);
        std::memset(updates, 0, sizeof updates);
        for (int l = 0; l < 2; ++l) {
            updates[l].device = gpiDevice;
            updates[l].index = 1;
            updates[l].state = l;
        }
        return true;
    }
    void update() {
        component->notify(&updates[level], VESK_NOTIFY_DRIVER_UPDATE);
        level ^= 1;
    }
};

void BM_PluginFloor(benchmark::State& state) {
    Floor floor;
    if (!floor.setUp()) {
        state.SkipWithError("module not loaded");
        return;
    }
    const std::uint64_t commandsBefore = floor.host->commands;
    const Clock::time_point start = Clock::now();
    for (auto _ : state) floor.update();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double updatesDone = static_cast<double>(state.iterations());
    if (floor.host->commands - commandsBefore != 2 * static_cast<std::uint64_t>(state.iterations())) {
        state.SkipWithError("the component alone did not send two commands per update");
        return;
    }
    state.SetItemsProcessed(state.iterations());
    figures.floorNs = seconds * 1e9 / updatesDone;
}

// The two ratios of the goals, measured interleaved: blocks of the one
// and of the other, alternately, and the median of the ratios of
// neighbouring blocks. On a shared machine the speed of the core drifts
// from one second to the next; a drift hits both sides of a ratio alike.
struct Ratios {
    double hostToFloor = 0;  // routed update at n = 10 / the plug-in alone
    double largeToSmall = 0; // routed update at n = 10,000 / at n = 10
};

template <typename Run>
double blockNs(int updates, Run&& run) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < updates; ++i) run(i);
    return std::chrono::duration<double>(Clock::now() - start).count() * 1e9 / updates;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

Ratios interleavedRatios() {
    Ratios ratios;
    steady.reset();
    // Each facility is brought up while the plug-in's configuration is its own.
    Floor floor;
    if (!floor.setUp()) return ratios;
    World small(10);
    if (!small.bringUp()) return ratios;
    World large(10000);
    if (!large.bringUp() || !small.follows(1, 1) || !large.follows(large.n, 1)) return ratios;
    struct Cycle {
        World& world;
        int k = 0;
        std::int32_t level = 1;
        void force() {
            world.facility->forceGpi(gpiDevice, k + 1, level);
            if (++k == world.n) {
                k = 0;
                level ^= 1;
            }
        }
    };
    Cycle smallCycle{small}, largeCycle{large};
    for (int i = 0; i < 2 * large.n; ++i) largeCycle.force();  // warm: every panel holds its text
    const int block = 20000;
    std::vector<double> toFloor, toSmall;
    for (int round = 0; round < 15; ++round) {
        const double floorNs = blockNs(block, [&](int) { floor.update(); });
        const double smallNs = blockNs(block, [&](int) { smallCycle.force(); });
        const double largeNs = blockNs(block, [&](int) { largeCycle.force(); });
        toFloor.push_back(smallNs / floorNs);
        toSmall.push_back(largeNs / smallNs);
    }
    ratios.hostToFloor = median(toFloor);
    ratios.largeToSmall = median(toSmall);
    return ratios;
}

const int sizes[] = {10, 100, 1000, 10000};

void registerAll() {
    for (int n : sizes) {
        auto* bench = benchmark::RegisterBenchmark("BM_BringUp", BM_BringUp)
                          ->Arg(n)
                          ->UseManualTime()
                          ->Unit(benchmark::kMicrosecond);
        // One bring-up of the largest facility is enough; small ones repeat.
        bench->Iterations(n >= 10000 ? 3 : n >= 1000 ? 5 : 20);
    }
    for (int n : sizes) {
        benchmark::RegisterBenchmark("BM_RoutedUpdate", BM_RoutedUpdate)
            ->Arg(n)
            ->Iterations(200000);
    }
    for (int n : sizes) {
        benchmark::RegisterBenchmark("BM_FacilityCut", BM_FacilityCut)
            ->Arg(n)
            ->Iterations(std::max(20, 200000 / n))
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("BM_PluginFloor", BM_PluginFloor)->Iterations(2000000);
}

void line(const char* what, double value, const char* goal, bool met) {
    std::printf("  %-46s %8.2f   goal %-10s %s\n", what, value, goal, met ? "met" : "MISSED");
}

void printSummary(const Ratios& ratios) {
    if (figures.updateNs.count(10) == 0 || figures.updateNs.count(10000) == 0 ||
        figures.bringUpNs.count(10) == 0 || figures.bringUpNs.count(10000) == 0 ||
        figures.cutNs.count(10000) == 0 || figures.floorNs <= 0) {
        std::printf("\nfacility_bench: not every case ran, no summary\n");
        return;
    }
    const double updateRatio = figures.updateNs[10000] / figures.updateNs[10];
    const double bringUpRatio = figures.bringUpNs[10000] / figures.bringUpNs[10];
    const double hostRatio = figures.updateNs[10] / figures.floorNs;
    const double hostRatioLarge = figures.updateNs[10000] / figures.floorNs;
    const double cutMs = figures.cutNs[10000] / 1e6;
    const double rssKb = figures.rssPerComponent[10000] / 1024;
    double allocs = 0;
    for (const auto& entry : figures.allocsPerUpdate) allocs = std::max(allocs, entry.second);
    for (const auto& entry : figures.allocsPerCut) allocs = std::max(allocs, entry.second);
    std::printf("\nFacility scale (n = 10 -> 10000)\n");
    std::printf("  routed update ns:     n=10 %.0f, n=100 %.0f, n=1000 %.0f, n=10000 %.0f; floor %.1f\n",
                figures.updateNs[10], figures.updateNs[100], figures.updateNs[1000],
                figures.updateNs[10000], figures.floorNs);
    std::printf("  whole-facility cut us: n=10 %.1f, n=100 %.1f, n=1000 %.0f, n=10000 %.0f\n",
                figures.cutNs[10] / 1e3, figures.cutNs[100] / 1e3, figures.cutNs[1000] / 1e3,
                figures.cutNs[10000] / 1e3);
    std::printf("  bring-up ns/component: n=10 %.0f, n=100 %.0f, n=1000 %.0f, n=10000 %.0f\n",
                figures.bringUpNs[10], figures.bringUpNs[100], figures.bringUpNs[1000],
                figures.bringUpNs[10000]);
    std::printf("  resident KB/component: n=10 %.1f, n=100 %.1f, n=1000 %.1f, n=10000 %.1f\n",
                figures.rssPerComponent[10] / 1024, figures.rssPerComponent[100] / 1024,
                figures.rssPerComponent[1000] / 1024, rssKb);
    std::printf("  (ratios of the separate runs above: host / floor %.2f, n=10000 / n=10 %.2f)\n",
                hostRatio, updateRatio);
    line("whole-host update / plug-in floor (n=10), interleaved", ratios.hostToFloor, "<= 6",
         ratios.hostToFloor <= 6);
    line("update cost, n=10000 / n=10, interleaved", ratios.largeToSmall, "<= 1.5",
         ratios.largeToSmall <= 1.5);
    line("whole-facility cut, n=10000, ms", cutMs, "< 5", cutMs < 5);
    line("heap allocations per update and per cut", allocs, "0", allocs == 0);
    line("bring-up per component, n=10000 / n=10", bringUpRatio, "<= 1.5", bringUpRatio <= 1.5);
    line("whole-host update / plug-in floor (n=10000)", hostRatioLarge, "(no goal)", true);
    line("resident KB per idle component (n=10000)", rssKb, "<= 32", rssKb <= 32);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (theModule() == nullptr) return 1;
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    steady.reset();
    // Only after a whole run: the summary needs every case.
    const bool whole = figures.updateNs.count(10) != 0 && figures.updateNs.count(10000) != 0 &&
                       figures.floorNs > 0;
    printSummary(whole ? interleavedRatios() : Ratios());
    benchmark::Shutdown();
    return 0;
}
