// tsl_latency - how long a cut takes from the mixer to the lamps.
//
// For n = 10, 1,000 and 10,000 components (component K: program tally
// from GPI input 3.K into info slot 12.K), a facility runs as under
// `vesk-host --serve`: its TSL listener and sender on their own threads, the
// facility on another, work handed over through the facility queue. The
// harness plays the mixer and the lamps on loopback UDP:
//
//   one camera   a packet lights (or darkens) display K's right lamp; the
//                time until the lamp message for index K with that level
//                arrives
//   all sources  packets that switch every display at once (as few as
//                fit, sent back to back); the time until the last of the n
//                lamp messages arrives
//   echo floor   a datagram to a thread that sends it straight back
//
// and prints p50 and p99 of each, and the ratios the goals are stated in.
// The timeline has no sink (as in facility_bench), so what is measured is
// the bridges, the facility and the plug-in, not the printing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridges/bridges.h"
#include "bridges/tsl_codec.h"
#include "connection/connection.h"
#include "facility/facility.h"
#include "front/facility_setup.h"
#include "front/timeline_printer.h"
#include "tsl_bench.h"

namespace {

using namespace tslbench;
using vhost::tsl::Display;

// CPU time the facility thread spent in jobs (microseconds), to tell the
// facility's own work from waiting and the network in a latency.
double threadCpuMicros() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}
std::atomic<double> facilityCpu{0};

std::string writeFacility(int n, std::uint16_t lampPort) {
    const std::string path = "/tmp/tsl_latency_" + std::to_string(n) + "_" + std::to_string(getpid()) + ".ini";
    tslbench::writeFacility(path, n, 0, lampPort);
    return path;
}

struct Run {
    Figures one, all;
    double allFacilityCpu = 0;  // median per cut, microseconds
    std::size_t allPackets = 0;
    // Of every source at once: the first cut after start-up, and the worst
    // one (which, how long, the facility's CPU then; a job that ends after
    // the last lamp left counts in the next round).
    double firstMicros = 0;
    int worstRound = 0;
    double worstMicros = 0, worstCpu = 0;
};

Run measure(int n) {
    std::uint16_t lampPort = 0, mixerFrom = 0;
    const int lamps = udpSocket(lampPort);
    const int mixer = udpSocket(mixerFrom);
    const std::string ini = writeFacility(n, lampPort);

    Bench bench(ini, VARNIK_BENCH_MODULE, VARNIK_BENCH_PANELS);
    vhost::Facility* facility = bench.facility;
    vhost::tsl::Bridges& bridges = bench.bridges;
    if (facility == nullptr) std::exit(1);
    // The components exist already: their logs are emptied too.
    facility->setLogCapacity(0);
    for (const auto& component : facility->components()) component->setLogCapacity(0);
    // Start-up: every component registers, polls its input and writes "0"
    // (half a second after it starts, so the clock goes a little further).
    facility->advance(1000);
    int started = 0;
    readLamps(lamps, 300, [&](const Display&) {
        ++started;
        return false;
    });
    if (started < n) {
        std::fprintf(stderr, "tsl_latency: n=%d: only %d lamp messages at start-up\n", n, started);
        std::exit(1);
    }

    // The facility thread, as in the live loop: jobs posted to its io_context.
    boost::asio::io_context io;
    auto work = boost::asio::make_work_guard(io);
    std::thread facilityThread([&] { io.run(); });
    std::ostringstream log;
    bridges.serve(
        [&io](std::function<void()> job) {
            boost::asio::post(io, [job = std::move(job)] {
                const double before = threadCpuMicros();
                job();
                facilityCpu = facilityCpu + (threadCpuMicros() - before);
            });
        },
        log);
    std::uint16_t mixerPort = 0;
    {
        const std::string text = log.str();
        const std::size_t colon = text.rfind(':');
        mixerPort = static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1));
    }

    Run run;
    std::vector<double> samples;
    const int rounds = n >= 10000 ? 300 : 500;
    for (int i = 0; i < rounds; ++i) {
        const int camera = 1 + (i * 7919) % n;
        for (const std::uint8_t level : {std::uint8_t(1), std::uint8_t(0)}) {
            const auto packet = mixerPackets(camera, camera, level)[0];
            const auto start = Clock::now();
            sendTo(mixer, mixerPort, packet);
            const bool arrived = readLamps(lamps, 2000, [&](const Display& d) {
                return d.index == camera && d.right == level;
            });
            if (!arrived) std::fprintf(stderr, "tsl_latency: n=%d camera %d: no lamp message\n", n, camera);
            samples.push_back(micros(Clock::now() - start));
        }
    }
    run.one = percentiles(samples);

    samples.clear();
    std::vector<double> cpu;
    const int allRounds = 100;  // so that p99 is not simply the worst round
    for (int i = 0; i < allRounds; ++i) {
        const std::uint8_t level = i % 2 == 0 ? 1 : 0;
        const auto packets = mixerPackets(1, n, level);
        run.allPackets = packets.size();
        std::vector<char> waiting(static_cast<std::size_t>(n) + 1, 1);
        waiting[0] = 0;
        std::size_t missing = static_cast<std::size_t>(n);
        facilityCpu = 0;
        const auto start = Clock::now();
        for (const auto& packet : packets) sendTo(mixer, mixerPort, packet);
        const bool arrived = readLamps(lamps, 5000, [&](const Display& d) {
            if (d.right == level && d.index <= n && waiting[d.index] != 0) {
                waiting[d.index] = 0;
                --missing;
            }
            return missing == 0;
        });
        if (!arrived) std::fprintf(stderr, "tsl_latency: n=%d: %zu lamps missing\n", n, missing);
        samples.push_back(micros(Clock::now() - start));
        cpu.push_back(facilityCpu);
        if (i == 0) run.firstMicros = samples.back();
        if (samples.back() > run.worstMicros) {
            run.worstRound = i;
            run.worstMicros = samples.back();
            run.worstCpu = cpu.back();
        }
    }
    run.all = percentiles(samples);
    run.allFacilityCpu = percentiles(cpu).p50;

    boost::asio::post(io, [&] { bridges.stopServing(); });
    work.reset();
    facilityThread.join();
    facility->finish();
    bridges.finish();
    close(lamps);
    close(mixer);
    std::remove(ini.c_str());
    return run;
}

Figures echoFloor() {
    std::uint16_t echoPort = 0, clientPort = 0;
    const int echo = udpSocket(echoPort);
    const int client = udpSocket(clientPort);
    std::atomic<bool> stop{false};
    std::thread echoer([&] {
        std::uint8_t buffer[64];
        while (!stop) {
            pollfd p{echo, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(echo, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n > 0) sendto(echo, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    });
    std::vector<double> samples;
    const std::vector<std::uint8_t> ping(16, 0x42);
    std::uint8_t buffer[64];
    for (int i = 0; i < 3000; ++i) {
        const auto start = Clock::now();
        sendTo(client, echoPort, ping);
        pollfd p{client, POLLIN, 0};
        if (poll(&p, 1, 1000) > 0) recv(client, buffer, sizeof buffer, 0);
        samples.push_back(micros(Clock::now() - start));
    }
    stop = true;
    echoer.join();
    close(echo);
    close(client);
    return percentiles(samples);
}

}  // namespace

int main() {
    std::printf("TSL latency on loopback UDP (microseconds)\n\n");
    const Figures floor = echoFloor();
    std::printf("%-24s %10s %10s\n", "", "p50", "p99");
    std::printf("%-24s %10.0f %10.0f\n", "UDP echo floor", floor.p50, floor.p99);
    Run runs[3];
    const int sizes[3] = {10, 1000, 10000};
    for (int i = 0; i < 3; ++i) {
        runs[i] = measure(sizes[i]);
        std::printf("%-24s %10.0f %10.0f\n", ("one camera, n=" + std::to_string(sizes[i])).c_str(), runs[i].one.p50,
                    runs[i].one.p99);
        std::printf("%-24s %10.0f %10.0f   (%zu mixer packets; facility thread CPU %.0f per cut)\n",
                    ("all sources, n=" + std::to_string(sizes[i])).c_str(), runs[i].all.p50, runs[i].all.p99,
                    runs[i].allPackets, runs[i].allFacilityCpu);
    }
    std::printf("  n=10000, every source at once: the first cut after start-up %.0f; the worst %.0f,\n"
                "  round %d of 100 (facility thread CPU %.0f in it)\n",
                runs[2].firstMicros, runs[2].worstMicros, runs[2].worstRound + 1, runs[2].worstCpu);
    std::printf("\nGoals:\n");
    std::printf("  one-camera p99 at n=10 within 3x the echo floor p99: %.1fx\n", runs[0].one.p99 / floor.p99);
    std::printf("  one-camera p99 at n=10,000 under 1 ms: %.2f ms\n", runs[2].one.p99 / 1000);
    std::printf("  all 10,000 sources at once within 20 ms (p99): %.1f ms\n", runs[2].all.p99 / 1000);
    return 0;
}
