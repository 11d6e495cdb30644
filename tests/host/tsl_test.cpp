// TSL UMD 5.0: the codec against byte-exact packets, the stream deframer at
// every split, the INI sections, and a tally driver whose TCP peer goes away.
#include "bridges/tsl_codec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <boost/asio.hpp>

#include "bridges/bridges.h"
#include "bridges/tsl_config.h"
#include "portable.h"

using namespace vhost;
using namespace vhost::tsl;

namespace {

std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(parseHex(text, bytes)) << text;
    return bytes;
}

Display display(std::uint16_t index, std::uint8_t level, const std::string& label) {
    Display d;
    d.index = index;
    d.right = d.left = d.text = level;
    d.label = label;
    return d;
}

TEST(TslCodec, EncodesPacketsByteForByte) {
    struct Case {
        std::uint16_t screen;
        std::vector<Display> displays;
        const char* bytes;
    } cases[] = {
        {0, {display(1, 1, "CAM 1")}, "0f00 0000 0000 0100 d500 0500 43414d2031"},
        {7, {display(2, 0, ""), display(0xFE, 3, "")}, "1000 0000 0700 0200 c000 0000 fe00 ff00 0000"},
        // An accented label makes the packet UTF-16LE.
        {0, {display(3, 2, "Café")}, "1200 0001 0000 0300 ea00 0800 4300 6100 6600 e900"},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<std::uint8_t>> packets;
        encode(c.screen, c.displays, packets);
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(toHex(packets[0].data(), packets[0].size()), toHex(hex(c.bytes).data(), hex(c.bytes).size()));
        Packet back;
        ASSERT_EQ(decode(packets[0].data(), packets[0].size(), back), Malformed::None);
        EXPECT_EQ(back.screen, c.screen);
        EXPECT_TRUE(back.displays == c.displays);
    }
}

TEST(TslCodec, BatchesInOrderWithinThePacketSize) {
    std::vector<Display> displays;
    for (std::uint16_t i = 0; i < 1000; ++i) {
        displays.push_back(display(i, i % 4, i % 7 == 0 ? "Kamera ü" : "CAM " + std::to_string(i)));
    }
    displays.push_back(display(1000, 1, std::string(3000, 'x')));  // cut to fit
    std::vector<std::vector<std::uint8_t>> packets;
    encode(0, displays, packets);
    std::vector<Display> back;
    for (const auto& bytes : packets) {
        EXPECT_LE(bytes.size(), maxPacket);
        Packet packet;
        ASSERT_EQ(decode(bytes.data(), bytes.size(), packet), Malformed::None);
        back.insert(back.end(), packet.displays.begin(), packet.displays.end());
    }
    ASSERT_EQ(back.size(), displays.size());
    for (const Display& d : back) {
        if (d.index == 1000) {
            EXPECT_EQ(d.label.size(), maxPacket - headerSize - messageHead);
        }
    }
    std::size_t ascii = 0;
    for (const Display& d : back) {
        if (d.index < 1000) {
            EXPECT_TRUE(d == displays[d.index]) << d.index;
        }
        // ASCII labels keep their order among themselves (as do the UTF-16 ones).
        if (!needsUnicode(d.label) && d.index < 1000) {
            while (needsUnicode(displays[ascii].label)) ++ascii;
            EXPECT_EQ(d.index, ascii++);
        }
    }
}

TEST(TslCodec, DropsMalformedPacketsWhole) {
    const struct {
        const char* bytes;
        Malformed kind;
    } cases[] = {
        {"0400 0000 00", Malformed::Short},
        {"0b00 0000 0000 0100 0000 0000", Malformed::ByteCount},
        {"0a00 0100 0000 0100 0000 0000", Malformed::Version},
        {"0a00 0000 0000 0100 0000 0100", Malformed::PastEnd},
        {"0700 0000 0000 0100 00", Malformed::PastEnd},
        {"0b00 0001 0000 0100 0000 0100 41", Malformed::OddUnicode},
        {"0a00 0000 0000 0100 0000 0000 0000", Malformed::ByteCount},
    };
    for (const auto& c : cases) {
        const auto bytes = hex(c.bytes);
        Packet packet;
        EXPECT_EQ(decode(bytes.data(), bytes.size(), packet), c.kind) << c.bytes;
    }
    std::vector<std::uint8_t> huge(maxPacket + 1, 0);
    Packet packet;
    EXPECT_EQ(decode(huge.data(), huge.size(), packet), Malformed::Oversized);
}

struct Found {
    std::vector<std::vector<std::uint8_t>> packets;
    std::vector<Malformed> faults;
};

Found deframe(Deframer& deframer, const std::vector<std::uint8_t>& stream, std::size_t piece) {
    Found found;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        deframer.feed(
            stream.data() + at, std::min(piece, stream.size() - at),
            [&](const std::uint8_t* data, std::size_t size) { found.packets.emplace_back(data, data + size); },
            [&](Malformed kind) { found.faults.push_back(kind); });
    }
    deframer.end([&](Malformed kind) { found.faults.push_back(kind); });
    return found;
}

TEST(TslDeframer, FindsStuffedPacketsAcrossEverySplit) {
    // 0xFE in the byte count, the index and the label: all stuffed.
    std::vector<Display> displays{display(0xFE, 1, std::string(0xF0, '\xFE'))};
    const auto first = encodePacket(0, displays);
    const auto second = encodePacket(1, {display(2, 2, "CAM 2")});
    std::vector<std::uint8_t> stream;
    frame(first, stream);
    frame(second, stream);
    for (std::size_t piece = 1; piece <= stream.size(); piece += piece < 8 ? 1 : 61) {
        Deframer deframer;
        const Found found = deframe(deframer, stream, piece);
        ASSERT_EQ(found.packets.size(), 2u) << "pieces of " << piece;
        EXPECT_EQ(found.packets[0], first);
        EXPECT_EQ(found.packets[1], second);
        EXPECT_TRUE(found.faults.empty());
    }
}

TEST(TslDeframer, DropsBrokenFramesAndResynchronises) {
    const std::string good = "fe02 0a00 0000 0000 0100 c100 0000";
    const struct {
        std::string stream;
        std::vector<Malformed> faults;
    } cases[] = {
        {"0102 03" + good, {Malformed::Garbage}},
        {"fe02 0a00 00fe 41" + good, {Malformed::Stuffing}},
        {"fe02 0a00 0000" + good, {Malformed::Short}},
        {"fe02 ff0f 0000" + good, {Malformed::Oversized}},
        {good + "fe02 0a00", {Malformed::Short}},
    };
    for (const auto& c : cases) {
        Deframer deframer;
        const Found found = deframe(deframer, hex(c.stream), 3);
        EXPECT_EQ(found.packets.size(), 1u) << c.stream;
        EXPECT_EQ(found.faults, c.faults) << c.stream;
    }
    // 64 KiB of junk: one report, and the memory stays one packet.
    std::vector<std::uint8_t> junk(65536, 0x41);
    Deframer deframer;
    EXPECT_EQ(deframe(deframer, junk, 4096).faults, std::vector<Malformed>{Malformed::Garbage});
}

TEST(TslConfig, ReportsWhatIsWrongWithASection) {
    const struct {
        const char* ini;
        const char* error;  // empty: accepted
    } cases[] = {
        {"[tsl_out.a]\ndevice = 12\nport = 9100\nlamps = right, text\nlabel.20 = CAM 1\n", ""},
        {"[tsl_in.m]\nport = 0\ninfo = 20\nword.1 = PROGRAM\nscreen = any\n", ""},
        {"[tsl_out.a]\nport = 9100\n", "needs device"},
        {"[tsl_out.a]\ndevice = 12\nport = 0\n", "port must be a port from 1"},
        {"[tsl_out.a]\ndevice = 12\nport = 1\nlamps = top\n", "lamps must be right, left"},
        {"[tsl_out.a]\ndevice = 12\nport = 1\nprotocol = sctp\n", "udp or tcp"},
        {"[tsl_in.m]\ngpi = 3\n", "needs port"},
        {"[tsl_in.m]\nport = 1\n", "needs gpi = DEVICE or info"},
        {"[tsl_in.m]\nport = 1\ngpi = 3\ninfo = 4\n", "either gpi or info"},
        {"[tsl_in.m]\nport = 1\ngpi = 3\nlevel = 4\n", "level must be any or"},
        {"[tsl_in.m]\nport = 1\ngpi = 3\ncolour = red\n", "unknown TSL in setting 'colour'"},
        {"[tsl_in.m]\nport = 1\ngpi = 3\n[tsl_out.m]\ndevice = 1\nport = 1\n", "declared twice"},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.ini);
        std::vector<std::string> errors;
        parseBridges(in, "x.ini", errors);
        if (*c.error == '\0') {
            EXPECT_TRUE(errors.empty()) << c.ini << (errors.empty() ? "" : errors[0]);
        } else {
            ASSERT_FALSE(errors.empty()) << c.ini;
            EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
        }
    }
}

class Texts : public TimelineSink {
public:
    void event(const Event& event) override { all += event.text + "\n"; }
    std::string all;
};

// Reads frames from `socket` until `done` says so; bounded by `ms`.
template <typename Done>
std::map<std::uint16_t, Display> readLamps(boost::asio::ip::tcp::socket& socket, Done done, int ms) {
    std::map<std::uint16_t, Display> seen;
    Deframer deframer;
    socket.non_blocking(true);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done(seen) && std::chrono::steady_clock::now() < until) {
        std::uint8_t buffer[512];
        boost::system::error_code ec;
        const std::size_t n = socket.read_some(boost::asio::buffer(buffer), ec);
        if (ec == boost::asio::error::would_block) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        if (ec) break;
        deframer.feed(buffer, n, [&](const std::uint8_t* data, std::size_t size) {
            Packet packet;
            if (decode(data, size, packet) != Malformed::None) return;
            for (const Display& d : packet.displays) seen[d.index] = d;
        }, [](Malformed) {});
    }
    return seen;
}

boost::asio::ip::tcp::socket acceptWithin(boost::asio::ip::tcp::acceptor& acceptor, int ms) {
    acceptor.non_blocking(true);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        boost::system::error_code ec;
        auto socket = acceptor.accept(ec);
        if (!ec || std::chrono::steady_clock::now() >= until) return socket;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TEST(TslBridge, TcpLampsCatchUpAfterTheirPeerCameBack) {
    namespace asio = boost::asio;
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    const std::string ini = newTemporaryFile("tsl");
    std::ofstream(ini) << "[tsl_out.lamps]\ndevice = 12\nprotocol = tcp\nport = "
                       << acceptor.local_endpoint().port() << "\noffset = -19\n";
    Timeline timeline;
    Texts texts;
    timeline.addSink(&texts);
    Bridges bridges(timeline);
    std::vector<std::string> errors;
    ASSERT_TRUE(bridges.configure(ini, errors));
    Facility facility(Environment(), timeline, false);
    bridges.attach(facility);

    auto first = acceptWithin(acceptor, 3000);
    ASSERT_TRUE(first.is_open());
    facility.forceInfo(12, 20, "1");
    auto seen = readLamps(first, [](auto& s) { return s.count(1) != 0; }, 3000);
    ASSERT_EQ(seen.count(1), 1u);
    EXPECT_EQ(seen[1].right, 1);

    first.close();  // the lamps go away; a change made meanwhile is kept
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    facility.forceInfo(12, 21, "2");
    auto second = acceptWithin(acceptor, 3000);
    ASSERT_TRUE(second.is_open());
    seen = readLamps(second, [](auto& s) { return s.count(1) != 0 && s.count(2) != 0; }, 3000);
    ASSERT_EQ(seen.count(2), 1u);
    EXPECT_EQ(seen[1].right, 1);
    EXPECT_EQ(seen[2].left, 2);
    EXPECT_EQ(bridges.state()[0]["state"], "connected");

    facility.forceInfo(12, 22, "PROGRAM");  // no level: not sent, said
    bridges.finish();
    EXPECT_NE(texts.all.find("is not a tally level"), std::string::npos) << texts.all;
    EXPECT_NE(texts.all.find("connected to 127.0.0.1"), std::string::npos) << texts.all;
    std::remove(ini.c_str());
}

// A live recording writes each packet from the mixer as the step that feeds it again.
TEST(TslBridge, EachAcceptedPacketIsHandledAsItsOwnStep) {
    const std::string ini = newTemporaryFile("tsl");
    std::ofstream(ini) << "[tsl_in.mixer]\nprotocol = udp\nport = 0\ngpi = 3\nlamp = right\n";
    Timeline timeline;
    Bridges bridges(timeline);
    std::vector<std::string> errors;
    ASSERT_TRUE(bridges.configure(ini, errors));
    Facility facility(Environment(), timeline, false);
    bridges.attach(facility);
    std::vector<std::string> steps;
    bridges.setReceiveWrapper([&](const std::string& step, const std::function<void()>& handle) {
        steps.push_back(step);
        EXPECT_EQ(facility.gpiState(3, 7), 0);
        handle();
        EXPECT_EQ(facility.gpiState(3, 7), 1);
    });
    const std::vector<std::uint8_t> packet = encodePacket(0, {display(7, 1, "CAM 7")});
    bridges.receive(0, packet.data(), packet.size());
    bridges.receive(0, packet.data(), 3);  // malformed: dropped before any step
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0], "tsl mixer hex " + toHex(packet.data(), packet.size()));
    bridges.finish();
    std::remove(ini.c_str());
}

}  // namespace
