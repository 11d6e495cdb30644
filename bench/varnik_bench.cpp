// varnik_bench - the driver-update hot path of the tally component.
//
// Loads the built plug-in module the way a host does (dlopen, then the
// exported factory), sets two components up through parent requests (a GPI
// source and an info source, both writing tally value 2 to slot 17 + 3 of
// device 12) and measures notify with driver updates, two parent requests
// and the two decoders. Every case reports heap allocations per operation
// (allocs_per_op) and host commands per operation (commands_per_op); the
// cases that go through the module also report their CPU time per operation
// as a multiple of the baseline's, measured in the same run
// (ratio_to_baseline).
//
// Before anything is measured, the texts that the module and the baseline
// send are checked against each other and against the expected commands,
// so a faster component cannot be one that sends something else.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "baseline.h"
#include "bench_hosts.h"
#include "vesk_decoders.h"

namespace {

// ---------------------------------------------------------------------------
// The facility the components live in.

const char* const gpiSource = "cam1_gpi";   // GPI driver 7, input 3
const char* const infoSource = "vt1_info";  // info driver 9, slot 5
const char* const destination = "tally_dest";  // info driver 12, slot 17
const char* const infoOnText = "ON AIR";

// The route both components and the baseline follow: slot 17 + 3 = 20.
const TallyRoute gpiRoute = {7, 3, 1, 12, 17, 3, "2", 1};

const char* const expectedOnWrite = "IW 12 '2' 20 0";
const char* const expectedOnShow = "TP 'text=2' '1' 'Tally'";
const char* const expectedOffWrite = "IW 12 '0' 20 0";
const char* const expectedOffShow = "TP 'text=0' '1' 'Tally'";

driverUpdateRecord makeUpdate(int device, int index, int state, const char* text) {
    driverUpdateRecord record;
    std::memset(&record, 0, sizeof record);
    record.device = device;
    record.index = index;
    record.state = state;
    std::strncpy(record.text, text, sizeof record.text - 1);
    return record;
}

const driverUpdateRecord gpiOn = makeUpdate(7, 3, 1, "");
const driverUpdateRecord gpiOff = makeUpdate(7, 3, 0, "");
const driverUpdateRecord infoOn = makeUpdate(9, 5, 0, infoOnText);
const driverUpdateRecord infoOff = makeUpdate(9, 5, 0, "OFF AIR");
const driverUpdateRecord notWatched = makeUpdate(7, 4, 1, "");

void fillInstances(InstanceTable& instances) {
    instances.add(gpiSource, "7 3");
    instances.add(infoSource, "9 5");
    instances.add(destination, "12 17");
}

// A parent request as a host sends it: the key text is the host's, and a
// reply is handed back at once.
void parentRequest(vesk_client_callback& script, const std::string& key) {
    std::string text = key;
    char* reply = script.notify(&text[0], VESK_NOTIFY_PARENT_REQUEST);
    if (reply != nullptr) script.notify(reply, VESK_NOTIFY_RELEASE);
}

// Source, destination, offset, on value and tally value, then the first tick
// of timer 1, which finds every setting present and completes start-up.
void setUpTally(vesk_client_callback& script, const char* source, const char* tallyOn) {
    parentRequest(script, std::string("instance=") + source);
    parentRequest(script, std::string("setslot=") + destination);
    parentRequest(script, "slotoffset=3");
    parentRequest(script, std::string("tally_on=") + tallyOn);
    parentRequest(script, "tally_val=2");
    script.notify(reinterpret_cast<void*>(std::intptr_t{1}), VESK_NOTIFY_TIMER);
}

// ---------------------------------------------------------------------------
// The plug-in module, loaded as a host loads it.

class PluginModule {
public:
    explicit PluginModule(const char* path) {
        handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            error_ = dlerror();
            return;
        }
        void* symbol = dlsym(handle_, VESK_FACTORY_SYMBOL);
        if (symbol == nullptr) {
            error_ = std::string("no ") + VESK_FACTORY_SYMBOL + " in " + path;
            return;
        }
        std::memcpy(&factory_, &symbol, sizeof factory_);
    }
    ~PluginModule() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    const std::string& error() const { return error_; }
    std::unique_ptr<vesk_client_callback> create(vesk_client_callback& host) const {
        return std::unique_ptr<vesk_client_callback>(factory_(&host, ""));
    }

private:
    void* handle_ = nullptr;
    vesk_factory_fn factory_ = nullptr;
    std::string error_;
};

const char* modulePath() {
    const char* path = std::getenv("VARNIK_MODULE");
    return path != nullptr && *path != '\0' ? path : VARNIK_BENCH_MODULE;
}

// Everything the measured cases use. Members end in reverse order: the
// components before the module that holds their code.
struct Scene {
    explicit Scene(const char* path) : module(path), host(instances) { fillInstances(instances); }

    bool start() {
        if (!module.error().empty()) return false;
        gpi = module.create(host);
        info = module.create(host);
        if (!gpi || !info) return false;
        setUpTally(*gpi, gpiSource, "1");
        setUpTally(*info, infoSource, infoOnText);
        return true;
    }

    PluginModule module;
    InstanceTable instances;
    CountingHost host;
    std::unique_ptr<vesk_client_callback> gpi;
    std::unique_ptr<vesk_client_callback> info;
};

Scene* scene = nullptr;

// ---------------------------------------------------------------------------
// Checks made before measuring. Each returns the problems it found.

using Transcript = std::vector<std::string>;

std::string joined(const Transcript& commands) {
    std::string text;
    for (const std::string& command : commands) text += "[" + command + "] ";
    return text.empty() ? "nothing" : text;
}

void expectSent(std::vector<std::string>& problems, const std::string& what,
                const Transcript& actual, const Transcript& expected) {
    if (actual != expected) {
        problems.push_back(what + ": sent " + joined(actual) + "instead of " + joined(expected));
    }
}

std::vector<std::string> checkTexts(const PluginModule& module) {
    std::vector<std::string> problems;
    InstanceTable instances;
    fillInstances(instances);
    TranscriptHost host(instances);
    const auto gpi = module.create(host);
    const auto info = module.create(host);
    setUpTally(*gpi, gpiSource, "1");
    setUpTally(*info, infoSource, infoOnText);

    const Transcript on = {expectedOnWrite, expectedOnShow};
    const Transcript off = {expectedOffWrite, expectedOffShow};
    const struct {
        const char* what;
        vesk_client_callback* script;  // null: the baseline
        const driverUpdateRecord* update;
        Transcript expected;
    } cases[] = {
        {"module, GPI update on", gpi.get(), &gpiOn, on},
        {"module, GPI update off", gpi.get(), &gpiOff, off},
        {"module, info update on", info.get(), &infoOn, on},
        {"module, info update off", info.get(), &infoOff, off},
        {"module, update of another input", gpi.get(), &notWatched, {}},
        {"baseline, update on", nullptr, &gpiOn, on},
        {"baseline, update off", nullptr, &gpiOff, off},
        {"baseline, update of another input", nullptr, &notWatched, {}},
    };
    for (const auto& c : cases) {
        host.commands.clear();
        driverUpdateRecord record = *c.update;
        if (c.script != nullptr) {
            c.script->notify(&record, VESK_NOTIFY_DRIVER_UPDATE);
        } else {
            baselineDriverUpdate(&host, &record, gpiRoute);
        }
        expectSent(problems, c.what, host.commands, c.expected);
    }
    return problems;
}

// The counter must see the module's allocations, not only the executable's:
// the settings listing allocates its reply inside the module.
std::vector<std::string> checkAllocationCounter(vesk_client_callback& script) {
    std::vector<std::string> problems;
    const std::uint64_t before = allocationCount();
    parentRequest(script, "return=all");
    if (allocationCount() == before) {
        problems.push_back(
            "allocations inside the module are not counted: the executable's "
            "operator new does not reach it");
    }
    return problems;
}

// ---------------------------------------------------------------------------
// Measuring.

std::uint64_t threadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// CPU nanoseconds per baseline update in the latest run of the baseline case.
double baselineNanoseconds = 0.0;

void runBaseline(std::uint64_t iterations) {
    vesk_client_callback* host = &scene->host;
    driverUpdateRecord record = gpiOn;
    for (std::uint64_t i = 0; i < iterations; ++i) {
        baselineDriverUpdate(host, &record, gpiRoute);
    }
}

// Used when the baseline case was filtered out of this run.
double baselineNow() {
    if (baselineNanoseconds <= 0.0) {
        const std::uint64_t iterations = 1u << 20;
        const std::uint64_t start = threadCpuNanoseconds();
        runBaseline(iterations);
        baselineNanoseconds =
            static_cast<double>(threadCpuNanoseconds() - start) / static_cast<double>(iterations);
    }
    return baselineNanoseconds;
}

// Wraps the measured loop of one case: allocations, host commands and CPU
// time from construction to report().
class Meter {
public:
    Meter()
        : allocations_(allocationCount()),
          commands_(scene->host.commands),
          cpu_(threadCpuNanoseconds()) {}

    enum Kind {
        framework,  // allocations only
        component,  // allocations, host commands and the ratio to the baseline
        baseline    // allocations and host commands
    };

    // Nanoseconds per operation.
    double report(benchmark::State& state, Kind kind) const {
        const double cpu = static_cast<double>(threadCpuNanoseconds() - cpu_);
        const double allocations = static_cast<double>(allocationCount() - allocations_);
        const double commands = static_cast<double>(scene->host.commands - commands_);
        const double iterations = static_cast<double>(state.iterations());
        if (iterations == 0) return 0.0;
        state.counters["allocs_per_op"] = allocations / iterations;
        if (kind != framework) state.counters["commands_per_op"] = commands / iterations;
        const double perOperation = cpu / iterations;
        if (kind == component) state.counters["ratio_to_baseline"] = perOperation / baselineNow();
        return perOperation;
    }

private:
    std::uint64_t allocations_;
    std::uint64_t commands_;
    std::uint64_t cpu_;
};

void BM_Baseline_MatchingUpdate(benchmark::State& state) {
    vesk_client_callback* host = &scene->host;
    driverUpdateRecord record = gpiOn;
    benchmark::DoNotOptimize(host);
    const Meter meter;
    for (auto _ : state) baselineDriverUpdate(host, &record, gpiRoute);
    baselineNanoseconds = meter.report(state, Meter::baseline);
}
BENCHMARK(BM_Baseline_MatchingUpdate);

enum class Component { gpi, info };

vesk_client_callback& component(Component which) {
    return which == Component::gpi ? *scene->gpi : *scene->info;
}

// One driver update per operation, delivered through notify as a host does.
void BM_Varnik_DriverUpdate(benchmark::State& state, Component which,
                            const driverUpdateRecord* update) {
    vesk_client_callback& script = component(which);
    driverUpdateRecord record = *update;
    const Meter meter;
    for (auto _ : state) script.notify(&record, VESK_NOTIFY_DRIVER_UPDATE);
    meter.report(state, Meter::component);
}
BENCHMARK_CAPTURE(BM_Varnik_DriverUpdate, gpi_on, Component::gpi, &gpiOn);
BENCHMARK_CAPTURE(BM_Varnik_DriverUpdate, gpi_off, Component::gpi, &gpiOff);
BENCHMARK_CAPTURE(BM_Varnik_DriverUpdate, info_on, Component::info, &infoOn);
BENCHMARK_CAPTURE(BM_Varnik_DriverUpdate, info_off, Component::info, &infoOff);
BENCHMARK_CAPTURE(BM_Varnik_DriverUpdate, not_watched, Component::gpi, &notWatched);

// One parent request per operation; a reply is handed back at once.
void BM_Varnik_ParentRequest(benchmark::State& state, const char* key) {
    vesk_client_callback& script = *scene->gpi;
    char text[64];
    const std::size_t length = std::strlen(key);
    if (length >= sizeof text) {
        state.SkipWithError("key too long");
        return;
    }
    const Meter meter;
    for (auto _ : state) {
        // The key is the host's; a script may not keep or change it.
        std::memcpy(text, key, length + 1);
        char* reply = script.notify(text, VESK_NOTIFY_PARENT_REQUEST);
        if (reply != nullptr) script.notify(reply, VESK_NOTIFY_RELEASE);
    }
    meter.report(state, Meter::component);
}
BENCHMARK_CAPTURE(BM_Varnik_ParentRequest, tally_on, "tally_on=1");
BENCHMARK_CAPTURE(BM_Varnik_ParentRequest, settings_listing, "return=all");

// A key of 32 parts: "n.p01.p02...p32".
std::string keyOf32Parts() {
    std::string key = "n";
    for (int i = 1; i <= VESK_KEY_MAX_PARTS; ++i) key += (i < 10 ? ".p0" : ".p") + std::to_string(i);
    return key;
}

// A reply of 32 tokens: "w01 w02 ... w32".
std::string replyOf32Tokens() {
    std::string reply;
    for (int i = 1; i <= decodeVESKString::maxTokens; ++i) {
        if (i > 1) reply += ' ';
        reply += (i < 10 ? "w0" : "w") + std::to_string(i);
    }
    return reply;
}

void BM_DecodeKeyString(benchmark::State& state, std::string key) {
    const Meter meter;
    for (auto _ : state) {
        const decodeKeyString decoded(key.c_str());
        benchmark::DoNotOptimize(decoded.partCount);
        benchmark::DoNotOptimize(decoded.value);
    }
    meter.report(state, Meter::framework);
}
BENCHMARK_CAPTURE(BM_DecodeKeyString, typical, std::string("instance=cam1_gpi"));
BENCHMARK_CAPTURE(BM_DecodeKeyString, parts_32, keyOf32Parts());

void BM_DecodeVESKString(benchmark::State& state, std::string reply) {
    const Meter meter;
    for (auto _ : state) {
        const decodeVESKString decoded(reply.c_str(), '\'');
        benchmark::DoNotOptimize(decoded.tokenCount);
        benchmark::DoNotOptimize(decoded.tokens[1]);
    }
    meter.report(state, Meter::framework);
}
BENCHMARK_CAPTURE(BM_DecodeVESKString, typical, std::string("12 17"));
BENCHMARK_CAPTURE(BM_DecodeVESKString, tokens_32, replyOf32Tokens());

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    // The drivers' kinds ("drvtype") come from the benchmark's own instances.
    setenv("VESK_CONFIG", VARNIK_BENCH_CONFIG, 1);

    Scene facility(modulePath());
    if (!facility.start()) {
        std::fprintf(stderr, "varnik_bench: cannot load %s: %s\n", modulePath(),
                     facility.module.error().c_str());
        return 1;
    }
    std::vector<std::string> problems = checkTexts(facility.module);
    for (const std::string& problem : checkAllocationCounter(*facility.gpi)) {
        problems.push_back(problem);
    }
    if (!problems.empty()) {
        for (const std::string& problem : problems) {
            std::fprintf(stderr, "varnik_bench: %s\n", problem.c_str());
        }
        return 1;
    }

    scene = &facility;
    benchmark::RunSpecifiedBenchmarks();
    scene = nullptr;
    benchmark::Shutdown();
    return 0;
}
