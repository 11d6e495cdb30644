// What the TSL tests of either version share: hexadecimal bytes, the
// timeline's texts, a bounded wait, a UDP display that keeps each datagram,
// and a facility with the bridges of an INI text.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "bridges/bridges.h"
#include "bridges/hex_bytes.h"
#include "portable.h"
#include "text/host_parsers.h"

namespace tslrig {

inline std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(vhost::tsl::parseHex(text, bytes)) << text;
    return bytes;
}

class Texts : public vhost::TimelineSink {
public:
    void event(const vhost::Event& event) override { all += event.text + "\n"; }
    std::string all;
};

// Polls `done` every 2 ms for at most `ms`.
template <typename Done>
bool within(int ms, Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A display on 127.0.0.1 that keeps each datagram as it came.
struct UdpDisplay {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket{
        io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)};
    std::string port() const { return std::to_string(socket.local_endpoint().port()); }
    // What arrives until `count` datagrams did or `ms` passed.
    std::vector<std::vector<std::uint8_t>> datagrams(std::size_t count, int ms) {
        std::vector<std::vector<std::uint8_t>> taken;
        socket.non_blocking(true);
        within(ms, [&] {
            std::uint8_t buffer[4096];
            boost::asio::ip::udp::endpoint from;
            boost::system::error_code ec;
            const std::size_t n = socket.receive_from(boost::asio::buffer(buffer), from, 0, ec);
            if (!ec) taken.emplace_back(buffer, buffer + n);
            return taken.size() >= count;
        });
        return taken;
    }
};

// A facility with the bridges and the [gpi]/[info] sections of `text`.
struct Rig {
    Rig(const std::string& text, const char* fileStem) : ini(newTemporaryFile(fileStem)) {
        std::ofstream(ini) << text;
        std::istringstream in(text);
        std::vector<std::string> errors;
        vhost::Environment env = vhost::parseEnvironment(in, "x.ini", errors);
        timeline.addSink(&texts);
        EXPECT_TRUE(bridges.configure(ini, errors)) << (errors.empty() ? text : errors[0]);
        facility = std::make_unique<vhost::Facility>(std::move(env), timeline, false);
        bridges.attach(*facility);
    }
    ~Rig() {
        bridges.finish();
        std::remove(ini.c_str());
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // A packet or datagram as the receiver `receiver` got it.
    void receiveBytes(const std::vector<std::uint8_t>& bytes, std::size_t receiver = 0) {
        bridges.receive(receiver, bytes.data(), bytes.size());
    }
    nlohmann::json state(std::size_t n = 0) const { return bridges.state()[n]; }

    std::string ini;
    vhost::Timeline timeline;
    Texts texts;
    vhost::tsl::Bridges bridges{timeline};
    std::unique_ptr<vhost::Facility> facility;
};

}  // namespace tslrig
