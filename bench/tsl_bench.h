// tsl_bench.h - a mixer and lamps on loopback UDP, the facility they drive,
// and the same cut measured in-process, for the TSL benchmarks.
//
// The facility: n components, component K taking its program tally from GPI
// input 3.K (driven by a [tsl_in] mixer, display index K) and writing it to
// info slot 12.K (sent by a [tsl_out] section as display K's right lamp).
#ifndef VESK_BENCH_TSL_BENCH_H
#define VESK_BENCH_TSL_BENCH_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridges/bridges.h"
#include "bridges/tsl_codec.h"
#include "connection/connection.h"
#include "facility/facility.h"
#include "front/facility_setup.h"
#include "front/timeline_printer.h"

namespace tslbench {

using Clock = std::chrono::steady_clock;
using vhost::tsl::Display;

inline double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Figures {
    double p50 = 0, p99 = 0;
};

// Nearest rank: of 100 samples, p99 is the 99th (the second worst), not the worst.
inline Figures percentiles(std::vector<double> samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    auto at = [&](int percent) {
        const std::size_t rank = (samples.size() * static_cast<std::size_t>(percent) + 99) / 100;
        return samples[std::min(samples.size(), std::max<std::size_t>(rank, 1)) - 1];
    };
    return {at(50), at(99)};
}

// A UDP socket bound to 127.0.0.1 (port 0: any free one, written back).
// Its receive buffer is large, so a cut of 10,000 lamps is not lost to it.
inline int udpSocket(std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("tsl bench: UDP socket on 127.0.0.1");
        std::exit(1);
    }
    const int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

inline void sendTo(int fd, std::uint16_t port, const std::vector<std::uint8_t>& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// Reads lamp packets until `onDisplay` returns true or `ms` pass; false on
// the timeout. Malformed packets are skipped.
template <typename OnDisplay>
bool readLamps(int fd, int ms, OnDisplay&& onDisplay) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    static thread_local std::vector<std::uint8_t> buffer(65536);
    vhost::tsl::Packet packet;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() < 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) continue;
        if (vhost::tsl::decode(buffer.data(), static_cast<std::size_t>(n), packet) != vhost::tsl::Malformed::None) {
            continue;
        }
        for (const Display& display : packet.displays) {
            if (onDisplay(display)) return true;
        }
    }
}

// Throws away whatever lamp packets are waiting.
inline void drainLamps(int fd) {
    std::uint8_t buffer[4096];
    while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

// Writes the environment INI of n components to `path`: the mixer listens
// on `mixerPort` (0: any free port), the lamps are sent to `lampPort`.
inline void writeFacility(const std::string& path, int n, std::uint16_t mixerPort, std::uint16_t lampPort) {
    std::ofstream out(path);
    // Slot 12.K: the instance's offset is 1 (a component takes 0 as not set
    // and would never finish its start-up), the component's K - 1.
    out << "[instances.tallybus]\ndevice = 12\noffset = 1\ndrvtype = i\n";
    for (int k = 1; k <= n; ++k) out << "[instances.cam" << k << "]\ndevice = 3\noffset = " << k << "\ndrvtype = g\n";
    out << "[tsl_in.mixer]\nprotocol = udp\naddress = 127.0.0.1\nport = " << mixerPort << "\ngpi = 3\n";
    out << "[tsl_out.lamps]\ndevice = 12\nprotocol = udp\naddress = 127.0.0.1\nport = " << lampPort
        << "\nlamps = right\n";
    for (int k = 1; k <= n; ++k) {
        out << "[component.cam" << k << "]\nparam.setslot = tallybus\nparam.slotoffset = " << k - 1
            << "\nparam.tally_on = 1\nparam.tally_val = 1\nparam.instance = cam" << k << "\n";
    }
    out.close();
    // Dated back, so that the plug-in keeps the file parsed rather than
    // reading a fresh one again for every component.
    const timespec past[2] = {{std::time(nullptr) - 10, 0}, {std::time(nullptr) - 10, 0}};
    utimensat(AT_FDCWD, path.c_str(), past, 0);
}

// The mixer's packets that set the right lamp of displays first..last to
// `level`: as many displays a packet as fit, as a mixer sends a cut.
inline std::vector<std::vector<std::uint8_t>> mixerPackets(int first, int last, std::uint8_t level) {
    std::vector<Display> displays;
    for (int k = first; k <= last; ++k) {
        Display display;
        display.index = static_cast<std::uint16_t>(k);
        display.right = level;
        displays.push_back(display);
    }
    std::vector<std::vector<std::uint8_t>> packets;
    vhost::tsl::encode(0, displays, packets);
    return packets;
}

// The camera of the i-th one-camera cut (spread over the facility) and its
// level: each camera is lit, then darkened by the next cut.
inline int oneCamera(int i, int n) { return 1 + ((i / 2) * 7919) % n; }
inline std::uint8_t oneLevel(int i) { return i % 2 == 0 ? 1 : 0; }
inline std::uint8_t allLevel(int i) { return i % 2 == 0 ? 1 : 0; }

// One kind of cut, timed: samples in microseconds, and those that never
// completed.
struct Series {
    std::vector<double> samples;
    int timeouts = 0;
};

// Times one camera's cut: from the mixer's packet to the lamp message for
// its index with the new level. `before` runs just before the packet goes.
template <typename Before>
bool timeOneCut(int mixer, std::uint16_t mixerPort, int lamps, int camera, std::uint8_t level, int timeoutMs,
                Series& series, Before&& before) {
    const auto packet = mixerPackets(camera, camera, level)[0];
    before();
    const auto start = Clock::now();
    sendTo(mixer, mixerPort, packet);
    const bool arrived =
        readLamps(lamps, timeoutMs, [&](const Display& d) { return d.index == camera && d.right == level; });
    if (arrived) {
        series.samples.push_back(micros(Clock::now() - start));
    } else {
        ++series.timeouts;
    }
    return arrived;
}

// Times a cut of every camera: the mixer's packets back to back, until the
// last of the n lamp messages with the new level. `missingOut` says how many
// never came.
template <typename Before>
bool timeAllCut(int mixer, std::uint16_t mixerPort, int lamps, int n, std::uint8_t level, int timeoutMs,
                Series& series, std::size_t& packetsSent, std::size_t& missingOut, Before&& before) {
    const auto packets = mixerPackets(1, n, level);
    packetsSent = packets.size();
    std::vector<char> waiting(static_cast<std::size_t>(n) + 1, 1);
    waiting[0] = 0;
    std::size_t missing = static_cast<std::size_t>(n);
    before();
    const auto start = Clock::now();
    for (const auto& packet : packets) sendTo(mixer, mixerPort, packet);
    const bool arrived = readLamps(lamps, timeoutMs, [&](const Display& d) {
        if (d.right == level && d.index <= n && waiting[d.index] != 0) {
            waiting[d.index] = 0;
            --missing;
        }
        return missing == 0;
    });
    missingOut = missing;
    if (arrived) {
        series.samples.push_back(micros(Clock::now() - start));
    } else {
        ++series.timeouts;
    }
    return arrived;
}

struct InProcess {
    bool ok = false;
    Series one, all;
    std::size_t allPackets = 0;
};

// The facility of `vesk-host --serve` in this process, read from `ini`,
// with the TSL bridges added; no timeline sink (nothing is printed) and no
// diagnostic capture. `facility` is null when it could not be set up.
struct Bench {
    Bench(const std::string& ini, const std::string& module, const std::string& panels)
        : printer(quiet, vhost::OutputMode::Quiet), bridges(timeline) {
        vhost::SetupOptions options;
        options.pluginPath = module;
        options.panelsDir = panels;
        options.configPath = ini;
        options.capture = false;
        setenv("VESK_CONFIG", ini.c_str(), 1);
        setup = std::make_unique<vhost::FacilitySetup>(options, timeline, printer);
        setup->setAddOn(&bridges);
        facility = setup->facility();
    }
    vhost::Timeline timeline;
    std::ostringstream quiet;
    vhost::TimelinePrinter printer;
    vhost::tsl::Bridges bridges;
    std::unique_ptr<vhost::FacilitySetup> setup;
    vhost::Facility* facility = nullptr;
};

// The cut in-process, as bench/tsl_latency.cpp runs it: the facility of
// `vesk-host --serve` (its TSL listener and sender on their threads, the
// facility on another, work handed over through the facility queue), but no
// web server, no page stream, no timeline printed and no recording; the
// components keep no command log.
inline InProcess measureInProcess(int n, const std::string& ini, const std::string& module, const std::string& panels,
                                  int oneCuts, int allCuts, int timeoutMs) {
    InProcess result;
    std::uint16_t lampPort = 0, mixerFrom = 0;
    const int lamps = udpSocket(lampPort);
    const int mixer = udpSocket(mixerFrom);
    writeFacility(ini, n, 0, lampPort);

    Bench bench(ini, module, panels);
    vhost::Facility* facility = bench.facility;
    vhost::tsl::Bridges& bridges = bench.bridges;
    if (facility == nullptr) {
        close(lamps);
        close(mixer);
        return result;
    }
    facility->setLogCapacity(0);
    for (const auto& component : facility->components()) component->setLogCapacity(0);
    // Start-up: every component registers, polls its input and writes "0".
    facility->advance(1000);
    int started = 0;
    readLamps(lamps, 2000, [&](const Display&) { return ++started >= n; });

    boost::asio::io_context io;
    auto work = boost::asio::make_work_guard(io);
    std::thread facilityThread([&] { io.run(); });
    std::ostringstream log;
    bridges.serve([&io](std::function<void()> job) { boost::asio::post(io, std::move(job)); }, log);
    const std::string text = log.str();
    const std::size_t colon = text.rfind(':');
    const auto mixerPort = static_cast<std::uint16_t>(colon == std::string::npos ? 0 : std::atoi(text.c_str() + colon + 1));

    if (started >= n && mixerPort != 0) {
        result.ok = true;
        for (int i = 0; i < oneCuts; ++i) {
            timeOneCut(mixer, mixerPort, lamps, oneCamera(i, n), oneLevel(i), timeoutMs, result.one, [] {});
        }
        drainLamps(lamps);
        for (int i = 0; i < allCuts; ++i) {
            std::size_t missing = 0;
            timeAllCut(mixer, mixerPort, lamps, n, allLevel(i), timeoutMs, result.all, result.allPackets, missing, [] {});
        }
    } else {
        std::fprintf(stderr, "in-process, n=%d: %d of %d lamps lit at start-up, mixer port %u\n", n, started, n,
                     static_cast<unsigned>(mixerPort));
    }

    boost::asio::post(io, [&] { bridges.stopServing(); });
    work.reset();
    facilityThread.join();
    facility->finish();
    bridges.finish();
    close(lamps);
    close(mixer);
    return result;
}

}  // namespace tslbench

#endif  // VESK_BENCH_TSL_BENCH_H
