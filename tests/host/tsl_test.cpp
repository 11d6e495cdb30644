// TSL UMD 5.0: the codec against byte-exact packets, the stream deframer at
// every split, the INI sections, and a tally driver whose TCP peer goes away.
#include "bridges/tsl_codec.h"

#include <gtest/gtest.h>

#include <mutex>

#include "bridges/tsl_config.h"
#include "bridges/tsl_links.h"
#include "tsl_rig.h"

using namespace vhost;
using namespace vhost::tsl;

namespace {

using tslrig::hex;
using tslrig::Texts;
using tslrig::within;

Display display(std::uint16_t index, std::uint8_t level, const std::string& label) {
    Display d;
    d.index = index;
    d.right = d.left = d.text = level;
    d.label = label;
    return d;
}

// A display whose three lamps (and brightness) all differ.
Display lamps(std::uint16_t index, std::uint8_t right, std::uint8_t text, std::uint8_t left,
              std::uint8_t brightness = 3, const std::string& label = "") {
    Display d;
    d.index = index;
    d.right = right;
    d.text = text;
    d.left = left;
    d.brightness = brightness;
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
        // Right in bits 0-1, text in 2-3, left in 4-5, brightness in 6-7.
        {0, {lamps(5, 1, 2, 3, 2)}, "0a00 0000 0000 0500 b900 0000"},
        {0, {lamps(5, 3, 1, 2, 0)}, "0a00 0000 0000 0500 2700 0000"},
        {0, {lamps(5, 2, 3, 1, 1)}, "0a00 0000 0000 0500 5e00 0000"},
        // The broadcast index and screen, the highest single index, all little-endian.
        {0xFFFF, {lamps(0xFFFF, 1, 0, 0), lamps(0xFFFE, 0, 0, 1, 3, "A")},
         "1100 0000 ffff ffff c100 0000 feff d000 0100 41"},
        {0x0102, {lamps(0x0304, 0, 0, 0, 3, "AB")}, "0c00 0000 0201 0403 c000 0200 4142"},
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

// Each field of CONTROL on its own and all of them different, both ways.
TEST(TslCodec, LampsKeepTheirBitsBothWays) {
    const struct {
        std::uint16_t control;
        std::uint8_t right, text, left, brightness;
        bool controlData;
    } cases[] = {
        {0x0001, 1, 0, 0, 0, false}, {0x0002, 2, 0, 0, 0, false}, {0x0004, 0, 1, 0, 0, false},
        {0x0008, 0, 2, 0, 0, false}, {0x0010, 0, 0, 1, 0, false}, {0x0020, 0, 0, 2, 0, false},
        {0x0040, 0, 0, 0, 1, false}, {0x0080, 0, 0, 0, 2, false}, {0x00e4, 0, 1, 2, 3, false},
        {0x001b, 3, 2, 1, 0, false}, {0x0039, 1, 2, 3, 0, false}, {0x8000, 0, 0, 0, 0, true},
        // Bits 8-14 are not lamps.
        {0x7f00, 0, 0, 0, 0, false},
    };
    for (const auto& c : cases) {
        const std::uint8_t control[2] = {static_cast<std::uint8_t>(c.control & 0xFF),
                                         static_cast<std::uint8_t>(c.control >> 8)};
        const auto bytes = hex("0b00 0000 0000 0900 " + toHex(control, 2) + " 0100 58");
        Packet packet;
        ASSERT_EQ(decode(bytes.data(), bytes.size(), packet), Malformed::None) << c.control;
        ASSERT_EQ(packet.displays.size(), 1u);
        const Display& d = packet.displays[0];
        EXPECT_EQ(d.right, c.right) << std::hex << c.control;
        EXPECT_EQ(d.text, c.text) << std::hex << c.control;
        EXPECT_EQ(d.left, c.left) << std::hex << c.control;
        EXPECT_EQ(d.brightness, c.brightness) << std::hex << c.control;
        EXPECT_EQ(d.controlData, c.controlData) << std::hex << c.control;
        EXPECT_EQ(d.label, c.controlData ? "" : "X") << std::hex << c.control;
        if (c.control < 0x100) {
            EXPECT_EQ(controlWord(c.right, c.text, c.left, c.brightness), c.control);
            EXPECT_EQ(messageOf(d).control, c.control);
        }
    }
    EXPECT_EQ(messageOf(lamps(1, 0, 0, 0, 0)).control, 0);
    Display data = lamps(1, 0, 0, 0, 0);
    data.controlData = true;
    EXPECT_EQ(messageOf(data).control, 0x8000);
}

// FLAGS bit 0 is UTF-16, bit 1 screen control; a header alone is a packet.
TEST(TslCodec, ReadsTheHeaderFieldsAtTheirOffsets) {
    const struct {
        const char* bytes;
        Malformed kind;
        std::uint16_t screen;
        bool screenControl;
        std::size_t displays;
        const char* label;
    } cases[] = {
        {"0400 0000 0201", Malformed::None, 0x0102, false, 0, ""},
        {"0400 0002 0300", Malformed::None, 3, true, 0, ""},
        {"0a00 0002 0000 0100 0100 0900", Malformed::None, 0, true, 0, ""},  // not read
        {"0c00 0001 0000 0100 0100 0200 e900", Malformed::None, 0, false, 1, "é"},
        {"0b00 0000 0000 0100 0100 0100 e9", Malformed::None, 0, false, 1, "\xe9"},  // as sent
        {"0400 0000 00", Malformed::Short, 0, false, 0, ""},
        {"0400 00", Malformed::Short, 0, false, 0, ""},
        // A message head of five bytes: past the end.
        {"0900 0000 0000 0100 0100 00", Malformed::PastEnd, 0, false, 0, ""},
        // The text length counts bytes, one past what is there.
        {"0c00 0000 0000 0100 0100 0300 4142", Malformed::PastEnd, 0, false, 0, ""},
    };
    for (const auto& c : cases) {
        const auto bytes = hex(c.bytes);
        Packet packet;
        ASSERT_EQ(decode(bytes.data(), bytes.size(), packet), c.kind) << c.bytes;
        if (c.kind != Malformed::None) continue;
        EXPECT_EQ(packet.screen, c.screen) << c.bytes;
        EXPECT_EQ(packet.screenControl, c.screenControl) << c.bytes;
        ASSERT_EQ(packet.displays.size(), c.displays) << c.bytes;
        if (c.displays != 0) {
            EXPECT_EQ(packet.displays[0].label, c.label) << c.bytes;
        }
    }
}

// A packet may be 2048 bytes, not one more; a message that would pass that
// starts the next packet; a label too long for any packet is cut to fit.
TEST(TslCodec, FillsPacketsUpToTheirSizeAndNoFurther) {
    const std::size_t one = maxPacket - headerSize - messageHead;  // the longest label: 2036
    const struct {
        std::vector<std::size_t> labels;  // lengths, ASCII
        bool unicode;
        std::vector<std::size_t> packetSizes;
    } cases[] = {
        {{one}, false, {2048}},
        {{one + 1}, false, {2048}},  // cut
        {{1000, one - 1000 - messageHead}, false, {2048}},
        {{1000, one - 1000 - messageHead + 1}, false, {1012, 1043}},
        {{0, 0, 0}, false, {24}},
        // UTF-16: two bytes a character; a cut never splits one.
        {{one / 2}, true, {2048}},
        {{one / 2 + 1}, true, {2048}},
        {{500, (one - messageHead) / 2 - 500}, true, {2048}},
        {{500, (one - messageHead) / 2 - 500 + 1}, true, {1012, 1044}},
    };
    for (const auto& c : cases) {
        std::vector<Display> displays;
        for (std::size_t i = 0; i < c.labels.size(); ++i) {
            std::string label = c.unicode ? std::string() : std::string(c.labels[i], 'x');
            for (std::size_t k = 0; c.unicode && k < c.labels[i]; ++k) label += "\xc3\xa9";
            displays.push_back(display(static_cast<std::uint16_t>(i), 1, label));
        }
        std::vector<std::vector<std::uint8_t>> packets;
        encode(0, displays, packets);
        std::vector<std::size_t> sizes;
        std::size_t messages = 0;
        for (const auto& packet : packets) {
            sizes.push_back(packet.size());
            Packet back;
            ASSERT_EQ(decode(packet.data(), packet.size(), back), Malformed::None);
            messages += back.displays.size();
        }
        EXPECT_EQ(sizes, c.packetSizes) << c.labels[0] << (c.unicode ? " utf-16" : "");
        EXPECT_EQ(messages, c.labels.size());
    }
    // One packet of exactly the largest size is decoded; one byte more is not.
    std::vector<std::vector<std::uint8_t>> packets;
    encode(0, {display(1, 1, std::string(one, 'x'))}, packets);
    Packet back;
    EXPECT_EQ(decode(packets[0].data(), packets[0].size(), back), Malformed::None);
    packets[0].push_back(0);
    packets[0][0] = 0xFF;  // PBC 2047 agrees with the 2049 bytes: too long all the same
    packets[0][1] = 0x07;
    EXPECT_EQ(decode(packets[0].data(), packets[0].size(), back), Malformed::Oversized);
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
        // A stray DLE right before a frame, or two, does not swallow it.
        {"fe" + good, {Malformed::Garbage}},
        {"fefe" + good, {Malformed::Garbage}},
        {"fefe fe" + good, {Malformed::Garbage}},
        {"41fe" + good, {Malformed::Garbage}},
        {"fe02 0a00 00fe 41" + good, {Malformed::Stuffing}},
        {"fe02 0a00 0000" + good, {Malformed::Short}},
        {"fe02 ff0f 0000" + good, {Malformed::Oversized}},
        // PBC 2047: 2049 bytes, one too many.
        {"fe02 ff07 0000" + good, {Malformed::Oversized}},
        {good + "fe02 0a00", {Malformed::Short}},
    };
    for (const auto& c : cases) {
        Deframer deframer;
        const Found found = deframe(deframer, hex(c.stream), 3);
        EXPECT_EQ(found.packets.size(), 1u) << c.stream;
        EXPECT_EQ(found.faults, c.faults) << c.stream;
    }
    // The largest packet passes the deframer whole, its PBC stuffed (0x07fe).
    const auto largest = encodePacket(0, {display(0xFEFE, 1, std::string(maxPacket - 12, '\xfe'))});
    ASSERT_EQ(largest.size(), maxPacket);
    std::vector<std::uint8_t> stream;
    frame(largest, stream);
    {
        Deframer deframer;
        const Found found = deframe(deframer, stream, 1000);
        ASSERT_EQ(found.packets.size(), 1u);
        EXPECT_EQ(found.packets[0], largest);
        EXPECT_TRUE(found.faults.empty());
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
        // An address is an IP address; a name would send nothing.
        {"[tsl_out.a]\ndevice = 12\nport = 1\naddress = localhost\n",
         "x.ini:4: address must be an IP address such as 127.0.0.1"},
        {"[tsl_out.a]\ndevice = 12\nport = 1\naddress = lamps.studio\n", "host names are not looked up"},
        {"[tsl_in.m]\nport = 1\ngpi = 3\naddress = localhost\n", "x.ini:4: address must be an IP"},
        {"[tsl_out.a]\ndevice = 12\nport = 1\naddress = ::1\n", ""},
        {"[tsl_in.m]\nport = 1\ngpi = 3\naddress = 0.0.0.0\n", ""},
        // Sections that look like bridges but are not spelt as one.
        {"[instances.cam1]\ndevice = 3\n[TSL_IN.x]\nport = 1\ngpi = 3\n",
         "x.ini:3: [TSL_IN.x] is not a TSL section: write [tsl_in.x]"},
        {"[Tsl_Out.lamps]\ndevice = 12\nport = 1\n", "x.ini:1: [Tsl_Out.lamps] is not a TSL section: write [tsl_out.lamps]"},
        {"[tsl-out.lamps]\n", "write [tsl_out.lamps]"},
        {"[tsl]\n", "write [tsl_in.NAME] or [tsl_out.NAME]"},
        {"[tallies]\nx = 1\n[component.tsl]\n", ""},
        // The ranges, at both ends.
        {"[tsl_out.a]\ndevice = 12\nport = 65535\noffset = -65535\nscreen = 65535\n", ""},
        {"[tsl_out.a]\ndevice = 12\nport = 65536\n", "port must be a port from 1 to 65535"},
        {"[tsl_out.a]\ndevice = 12\nport = 1\noffset = 65536\n", "offset must be a number from -65535"},
        {"[tsl_out.a]\ndevice = 12\nport = 1\noffset = -65536\n", "offset must be a number from -65535"},
        {"[tsl_out.a]\ndevice = 12\nport = 1\nscreen = 65536\n", "screen must be a screen from 0"},
        {"[tsl_out.a]\ndevice = 0\nport = 1\n", "device must be an info device number above 0"},
        {"[tsl_in.m]\nport = 65535\ngpi = 3\nlevel = 3\nword.3 = ISO\noffset = 65535\n", ""},
        {"[tsl_in.m]\nport = 1\ngpi = 3\nlevel = 0\n", "level must be any or a level from 1 to 3"},
        {"[tsl_in.m]\nport = 1\ninfo = 3\nword.4 = X\n", "unknown TSL in setting 'word.4'"},
        {"[tsl_in.m]\nport = 1\ngpi = 3\nscreen = 65536\n", "screen must be any or a screen"},
        // The version, and the settings of each.
        {"[tsl_out.a]\nversion = 3.1\ndevice = 12\nport = 1\noffset = -65535\nbatch = off\n", ""},
        {"[tsl_out.a]\nversion = 5.0\ndevice = 12\nport = 1\nlamps = left\n", ""},
        {"[tsl_out.a]\ndevice = 12\nport = 1\nversion = 4.0\n", "x.ini:4: version must be 5.0 or 3.1"},
        {"[tsl_in.m]\nport = 1\ngpi = 3\nversion = 3\n", "version must be 5.0 or 3.1"},
        // A setting of 5.0 given before the version that has none.
        {"[tsl_out.a]\nlamps = left\nversion = 3.1\ndevice = 12\nport = 1\n",
         "x.ini:2: unknown TSL 3.1 out setting 'lamps'"},
        {"[tsl_out.a]\nversion = 3.1\ndevice = 12\nport = 1\nscreen = 1\n", "unknown TSL 3.1 out setting 'screen'"},
        {"[tsl_in.m]\nversion = 3.1\nport = 1\ngpi = 3\ntally = 1\n", ""},
        {"[tsl_in.m]\nversion = 3.1\nport = 1\ngpi = 3\ntally = 4\n", ""},
        {"[tsl_in.m]\nversion = 3.1\nport = 1\ngpi = 3\ntally = 0\n", "tally must be a tally from 1 to 4"},
        {"[tsl_in.m]\nversion = 3.1\nport = 1\ngpi = 3\ntally = 5\n", "tally must be a tally from 1 to 4"},
        {"[tsl_in.m]\nversion = 3.1\nport = 1\ninfo = 3\nword.0 = OFF\nword.1 = ON\n", ""},
        {"[tsl_in.m]\nversion = 3.1\nport = 1\ninfo = 3\nword.2 = PREVIEW\n", "unknown TSL 3.1 in setting 'word.2'"},
        {"[tsl_in.m]\nversion = 3.1\nport = 1\ngpi = 3\nlamp = right\n", "unknown TSL 3.1 in setting 'lamp'"},
        {"[tsl_in.m]\nversion = 3.1\nport = 1\ngpi = 3\nlevel = 1\n", "unknown TSL 3.1 in setting 'level'"},
        {"[tsl_in.m]\nport = 1\ngpi = 3\ntally = 1\n", "unknown TSL in setting 'tally'"},
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

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

// A UDP display on 127.0.0.1: the packets it receives, decoded.
struct UdpLamp : tslrig::UdpDisplay {
    std::vector<Packet> take(std::size_t count, int ms) {
        std::vector<Packet> packets;
        for (const auto& datagram : datagrams(count, ms)) {
            packets.emplace_back();
            EXPECT_EQ(decode(datagram.data(), datagram.size(), packets.back()), Malformed::None);
        }
        return packets;
    }
};

// A facility with the bridges of `text`; packets given as display messages.
struct Rig : tslrig::Rig {
    explicit Rig(const std::string& text) : tslrig::Rig(text, "tsl") {}
    void receive(std::uint16_t screen, const std::vector<Display>& displays) {
        receiveBytes(encodePacket(screen, displays));
    }
};

// What a tally driver sends for one write: the index is slot + offset, the
// level goes on the chosen lamps only, index 65535 (every display) and
// anything outside 0 to 65534 is never sent.
TEST(TslBridge, SenderMapsEachSlotToOneDisplay) {
    const struct {
        const char* settings;
        std::int32_t slot;
        const char* text;
        bool sent;
        std::uint16_t index, screen;
        std::uint8_t right, textLamp, left;
        const char* label;
    } cases[] = {
        {"", 5, "2", true, 5, 0, 2, 2, 2, ""},
        {"lamps = right\n", 5, "3", true, 5, 0, 3, 0, 0, ""},
        {"lamps = left\n", 5, "3", true, 5, 0, 0, 0, 3, ""},
        {"lamps = text\n", 5, "3", true, 5, 0, 0, 3, 0, ""},
        {"lamps = left, text\n", 5, "1", true, 5, 0, 0, 1, 1, ""},
        {"offset = -19\nlabel.20 = CAM 1\nlabel.1 = not this\n", 20, "1", true, 1, 0, 1, 1, 1, "CAM 1"},
        {"offset = 100\nlabel.0 = Zero\n", 0, "0", true, 100, 0, 0, 0, 0, "Zero"},
        {"offset = 65514\n", 20, "1", true, 65534, 0, 1, 1, 1, ""},
        {"offset = 65515\n", 20, "1", false, 0, 0, 0, 0, 0, ""},
        {"offset = -20\n", 20, "1", true, 0, 0, 1, 1, 1, ""},
        {"offset = -21\n", 20, "1", false, 0, 0, 0, 0, 0, ""},
        {"screen = 7\n", 1, "3", true, 1, 7, 3, 3, 3, ""},
        {"", 5, "4", false, 0, 0, 0, 0, 0, ""},
        {"", 5, "PROGRAM", false, 0, 0, 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        UdpLamp lamp;
        Rig rig("[tsl_out.lamps]\ndevice = 12\nport = " + lamp.port() + "\n" + c.settings);
        rig.facility->forceInfo(12, c.slot, c.text);
        const auto packets = lamp.take(1, c.sent ? 3000 : 200);
        if (!c.sent) {
            EXPECT_TRUE(packets.empty()) << c.settings << c.slot;
            EXPECT_NE(rig.texts.all.find("not sent"), std::string::npos) << rig.texts.all;
            continue;
        }
        ASSERT_EQ(packets.size(), 1u) << c.settings;
        ASSERT_EQ(packets[0].displays.size(), 1u) << c.settings;
        const Display& d = packets[0].displays[0];
        EXPECT_EQ(packets[0].screen, c.screen) << c.settings;
        EXPECT_TRUE(d == lamps(c.index, c.right, c.textLamp, c.left, 3, c.label))
            << c.settings << " got index " << d.index << " " << int(d.right) << int(d.text)
            << int(d.left) << " " << d.label;
    }
}

// A write reaches every sender of its device and no other.
TEST(TslBridge, WritesGoToTheSendersOfTheirDeviceOnly) {
    UdpLamp a, b, other;
    Rig rig("[tsl_out.a]\ndevice = 12\nport = " + a.port() + "\n[tsl_out.other]\ndevice = 13\nport = " +
            other.port() + "\n[tsl_out.b]\ndevice = 12\nport = " + b.port() + "\noffset = 1\n");
    rig.facility->forceInfo(12, 4, "1");
    const auto toA = a.take(1, 3000);
    const auto toB = b.take(1, 3000);
    ASSERT_EQ(toA.size(), 1u);
    ASSERT_EQ(toB.size(), 1u);
    EXPECT_EQ(toA[0].displays[0].index, 4);
    EXPECT_EQ(toB[0].displays[0].index, 5);
    EXPECT_TRUE(other.take(1, 200).empty());
    rig.facility->forceInfo(13, 4, "2");
    const auto toOther = other.take(1, 3000);
    ASSERT_EQ(toOther.size(), 1u);
    EXPECT_EQ(toOther[0].displays[0].right, 2);
    EXPECT_TRUE(a.take(1, 100).empty());
}

// The writes of one step leave in one packet (batch = on) or one packet
// each (batch = off), in the order they were made.
TEST(TslBridge, OneStepsChangesLeaveTogetherUnlessBatchIsOff) {
    for (const bool batch : {true, false}) {
        UdpLamp lamp;
        Rig rig("[tsl_in.mixer]\nport = 0\ninfo = 12\n[tsl_out.lamps]\ndevice = 12\nport = " +
                lamp.port() + "\nlamps = right\n" + (batch ? "" : "batch = off\n"));
        // Display 3 changes twice in the step: its newest level, in its first place.
        rig.receive(0, {display(3, 1, ""), display(1, 2, ""), display(2, 3, ""), display(3, 0, "")});
        rig.receive(0, {display(3, 2, "")});  // the next step: a packet of its own
        const auto packets = lamp.take(4, batch ? 300 : 3000);
        std::vector<std::string> sent;
        for (const Packet& packet : packets) {
            std::string text;
            for (const Display& d : packet.displays) text += std::to_string(d.index) + "=" + std::to_string(d.right) + " ";
            sent.push_back(text);
        }
        const std::vector<std::string> wanted =
            batch ? std::vector<std::string>{"3=0 1=2 2=3 ", "3=2 "}
                  : std::vector<std::string>{"3=0 ", "1=2 ", "2=3 ", "3=2 "};
        EXPECT_EQ(sent, wanted) << (batch ? "batch on" : "batch off");
    }
}

// What a mixer's message does: the lamp read, the level that closes, the
// offset, the screen, the broadcast index and the words of an info slot.
TEST(TslBridge, ReceiverMapsEachDisplayToOneInput) {
    const struct {
        const char* settings;
        std::uint16_t screen;
        Display message;
        std::int32_t device, input;
        const char* wanted;  // GPI state or slot text after the message
    } cases[] = {
        {"gpi = 3\n", 0, lamps(4, 1, 0, 0), 3, 4, "1"},
        {"gpi = 3\nlamp = left\n", 0, lamps(4, 1, 1, 0), 3, 4, "0"},
        {"gpi = 3\nlamp = left\n", 0, lamps(4, 0, 0, 2), 3, 4, "1"},
        {"gpi = 3\nlamp = text\n", 0, lamps(4, 3, 0, 3), 3, 4, "0"},
        {"gpi = 3\nlamp = text\n", 0, lamps(4, 0, 3, 0), 3, 4, "1"},
        {"gpi = 3\nlamp = right\n", 0, lamps(4, 0, 1, 1), 3, 4, "0"},
        {"gpi = 3\nlevel = 2\n", 0, lamps(4, 1, 0, 0), 3, 4, "0"},
        {"gpi = 3\nlevel = 2\n", 0, lamps(4, 2, 0, 0), 3, 4, "1"},
        {"gpi = 3\nlevel = 2\n", 0, lamps(4, 3, 0, 0), 3, 4, "0"},
        {"gpi = 3\nlevel = 3\n", 0, lamps(4, 3, 0, 0), 3, 4, "1"},
        {"gpi = 3\nlevel = any\n", 0, lamps(4, 3, 0, 0), 3, 4, "1"},
        {"gpi = 3\n", 0, lamps(4, 0, 0, 0), 3, 4, "0"},
        {"gpi = 3\noffset = 10\n", 0, lamps(4, 1, 0, 0), 3, 14, "1"},
        {"gpi = 3\noffset = 10\n", 0, lamps(4, 1, 0, 0), 3, 4, "0"},
        {"gpi = 3\noffset = -1\n", 0, lamps(4, 1, 0, 0), 3, 3, "1"},
        {"gpi = 3\nscreen = 5\n", 5, lamps(4, 1, 0, 0), 3, 4, "1"},
        {"gpi = 3\nscreen = 5\n", 4, lamps(4, 1, 0, 0), 3, 4, "0"},
        {"gpi = 3\nscreen = 5\n", 0xFFFF, lamps(4, 1, 0, 0), 3, 4, "1"},
        {"gpi = 3\n", 0xFFFF, lamps(0xFFFF, 1, 0, 0), 3, 0xFFFF, "0"},
        {"gpi = 3\noffset = -65535\n", 0, lamps(0xFFFF, 1, 0, 0), 3, 0, "0"},
        {"gpi = 3\noffset = -65534\n", 0, lamps(0xFFFE, 1, 0, 0), 3, 0, "1"},
        {"info = 20\nword.2 = PREVIEW\n", 0, lamps(4, 2, 0, 0), 20, 4, "PREVIEW"},
        {"info = 20\nword.2 = PREVIEW\n", 0, lamps(4, 1, 0, 0), 20, 4, "1"},
        {"info = 20\nlamp = left\nword.3 = ISO\n", 0, lamps(4, 1, 0, 3), 20, 4, "ISO"},
        {"info = 20\nlamp = text\nword.0 = OFF\n", 0, lamps(4, 1, 0, 3), 20, 4, "OFF"},
    };
    for (const auto& c : cases) {
        Rig rig(std::string("[tsl_in.mixer]\nport = 0\n") + c.settings);
        Display message = c.message;
        message.label = "CAM";
        rig.receive(c.screen, {message});
        const bool gpi = std::string(c.settings).compare(0, 3, "gpi") == 0;
        const std::string got = gpi ? std::to_string(rig.facility->gpiState(c.device, c.input))
                                    : rig.facility->infoText(c.device, c.input);
        EXPECT_EQ(got, c.wanted) << c.settings << " screen " << c.screen << " index "
                                 << c.message.index;
        if (c.message.index == 0xFFFF) {
            EXPECT_NE(rig.texts.all.find("every display (index 65535) is ignored"), std::string::npos);
        }
    }
}

// One mixer may bring at most 256 unknown inputs into being; inputs the
// configuration or a component knows are never refused.
TEST(TslBridge, AListenerCreatesAtMost256UnknownInputs) {
    for (const bool toGpi : {true, false}) {
        Rig rig(std::string("[tsl_in.mixer]\nport = 0\n") + (toGpi ? "gpi = 3\n" : "info = 3\n") +
                (toGpi ? "[gpi.3]\n290 = 0\n" : "[info.3]\n290 = \"0\"\n"));
        auto value = [&](std::int32_t input) {
            return toGpi ? std::to_string(rig.facility->gpiState(3, input))
                         : rig.facility->infoText(3, input);
        };
        std::vector<Display> all;
        for (std::uint16_t i = 0; i < 300; ++i) all.push_back(display(i, 1, ""));
        rig.receive(0, all);
        EXPECT_EQ(value(255), "1");
        EXPECT_EQ(value(256), toGpi ? "0" : "");
        EXPECT_EQ(value(299), toGpi ? "0" : "");
        EXPECT_EQ(value(290), "1");  // in the configuration
        EXPECT_EQ(rig.state()["unknown_refused"], 300 - 256 - 1);
        EXPECT_NE(rig.state()["last_error"].get<std::string>().find("not applied"), std::string::npos);
        // Those it made may change again; others stay refused, only counted.
        rig.receive(0, {display(0, 0, ""), display(257, 1, "")});
        EXPECT_EQ(value(0), toGpi ? "0" : "0");
        EXPECT_EQ(rig.state()["unknown_refused"], 300 - 256 - 1 + 1);
        std::size_t warnings = 0;
        for (std::size_t at = 0; (at = rig.texts.all.find("has already made 256", at)) != std::string::npos; ++at) {
            ++warnings;
        }
        EXPECT_EQ(warnings, 1u) << rig.texts.all;
        EXPECT_NE(rig.texts.all.find("display 256 is not applied: " +
                                     std::string(toGpi ? "GPI input" : "info slot") + " 3.256"),
                  std::string::npos)
            << rig.texts.all;
    }
}

// packets_in counts what was accepted; what was dropped has its own count.
TEST(TslBridge, StateCountsAcceptedAndDroppedApart) {
    Rig rig("[tsl_in.mixer]\nport = 0\ngpi = 3\n");
    const auto good = encodePacket(0, {display(1, 1, "")});
    rig.bridges.receive(0, good.data(), good.size());
    rig.bridges.receive(0, good.data(), good.size() - 1);
    rig.bridges.dropped(0, Malformed::Garbage);
    EXPECT_EQ(rig.state()["packets_in"], 1);
    EXPECT_EQ(rig.state()["dropped"], 2);
    EXPECT_EQ(rig.state()["unknown_refused"], 0);
    EXPECT_EQ(rig.state().count("connections"), 0u);  // UDP has none
}

// The timeline says "sends" only of what a socket takes now.
TEST(TslBridge, TimelineSaysSendsOnlyWhenConnected) {
    asio::io_context io;
    tcp::acceptor closed(io, {asio::ip::make_address("127.0.0.1"), 0});
    const std::string port = std::to_string(closed.local_endpoint().port());
    closed.close();
    UdpLamp lamp;
    Rig rig("[tsl_out.tcp]\ndevice = 12\nprotocol = tcp\nport = " + port +
            "\n[tsl_out.udp]\ndevice = 12\nport = " + lamp.port() + "\n");
    rig.facility->forceInfo(12, 5, "1");
    EXPECT_NE(rig.texts.all.find("tsl tcp keeps for 127.0.0.1:" + port +
                                 " (not connected; sent once it is): index 5 right=1"),
              std::string::npos)
        << rig.texts.all;
    EXPECT_EQ(rig.texts.all.find("tsl tcp sends"), std::string::npos) << rig.texts.all;
    EXPECT_NE(rig.texts.all.find("tsl udp sends index 5 right=1"), std::string::npos);
}

// ---- the sockets ------------------------------------------------------------

std::uint16_t portOf(const BridgeStatus& status) {
    const std::string address = status.address();
    return static_cast<std::uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
}

tcp::socket mixer(asio::io_context& io, std::uint16_t port) {
    tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    return socket;
}

void write(tcp::socket& socket, const std::string& hexBytes) {
    const auto bytes = hex(hexBytes);
    asio::write(socket, asio::buffer(bytes));
}

// True once the peer has closed `socket` (within `ms`).
bool closedByPeer(tcp::socket& socket, int ms) {
    socket.non_blocking(true);
    return within(ms, [&] {
        std::uint8_t byte;
        boost::system::error_code ec;
        socket.read_some(asio::buffer(&byte, 1), ec);
        return ec && ec != asio::error::would_block;
    });
}

struct Listener {
    explicit Listener(InConfig config) : status(config.name, false, "tcp", "") {
        config.protocol = Protocol::Tcp;
        links.add(config, status);
        EXPECT_TRUE(links.start());
        port = portOf(status);
    }
    std::size_t received() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets;
    }
    std::string said() {
        std::string all;
        for (const std::string& text : notices.take()) all += text + "\n";
        return all;
    }
    Notices notices;
    std::mutex mutex;
    std::size_t packets = 0;
    BridgeStatus status;
    InLinks links{notices,
                  [this](std::size_t, std::vector<std::vector<std::uint8_t>>& got,
                         std::vector<Malformed>&) {
                      std::lock_guard<std::mutex> lock(mutex);
                      packets += got.size();
                      return true;
                  },
                  [] {}};
    std::uint16_t port = 0;
};

const std::string halfFrame = "fe02 0a00 0000 0000";
const std::string restOfFrame = "0100 c100 0000";
const std::string wholeFrame = halfFrame + restOfFrame;

// Eight mixers that stall halfway through a frame hold the listener only
// until the frame's deadline; a ninth is turned away meanwhile, and says so.
TEST(TslLinks, MixersStallingHalfAFrameAreClosedAtTheDeadline) {
    InConfig config;
    config.name = "mixer";
    config.partialFrameMs = 1000;
    config.idleMs = 60000;
    Listener listener(config);
    asio::io_context io;
    std::vector<tcp::socket> stalled;
    for (int i = 0; i < 8; ++i) {
        stalled.push_back(mixer(io, listener.port));
        write(stalled.back(), halfFrame);
    }
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_TRUE(within(3000, [&] { return listener.status.view().connections == 8; }));
    auto late = mixer(io, listener.port);
    EXPECT_TRUE(closedByPeer(late, 3000));
    EXPECT_TRUE(within(3000, [&] { return listener.status.view().connectionsRefused == 1; }));
    EXPECT_EQ(listener.status.view().connectionsClosed, 0u);
    // The first finishes its frame in time and stays.
    write(stalled[0], restOfFrame);
    ASSERT_TRUE(within(3000, [&] { return listener.status.view().connectionsClosed == 7; }));
    EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(700));
    EXPECT_EQ(listener.status.view().dropped, 7u);
    EXPECT_EQ(listener.received(), 1u);
    for (std::size_t i = 1; i < stalled.size(); ++i) EXPECT_TRUE(closedByPeer(stalled[i], 1000));
    // The real mixer gets in now.
    auto real = mixer(io, listener.port);
    write(real, wholeFrame);
    write(stalled[0], wholeFrame);
    EXPECT_TRUE(within(3000, [&] { return listener.received() == 3; }));
    EXPECT_EQ(listener.status.view().connections, 2u);
    const std::string said = listener.said();
    EXPECT_NE(said.find("turned a mixer connection away: 8 mixers are connected"), std::string::npos) << said;
    EXPECT_NE(said.find("left a frame unfinished for 1 s"), std::string::npos) << said;
    EXPECT_EQ(said.find("unfinished", said.find("unfinished") + 1), std::string::npos) << said;
    listener.links.stop();
}

// A full listener gives the place of the mixer silent for longest to a
// newcomer once that one has been idle long enough; a mixer that sends
// packets keeps its place.
TEST(TslLinks, AnIdleMixerGivesItsPlaceToANewcomer) {
    InConfig config;
    config.name = "mixer";
    config.partialFrameMs = 60000;
    config.idleMs = 1500;
    Listener listener(config);
    asio::io_context io;
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(mixer(io, listener.port));
        ASSERT_TRUE(within(3000, [&] { return listener.status.view().connections == idle.size(); }));
    }
    auto early = mixer(io, listener.port);  // none has been idle long enough yet
    EXPECT_TRUE(closedByPeer(early, 3000));
    // The listener counts a refusal just after closing: the peer may see the
    // close first.
    EXPECT_TRUE(within(3000, [&] { return listener.status.view().connectionsRefused == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    write(idle[0], wholeFrame);  // the oldest, but not idle
    ASSERT_TRUE(within(3000, [&] { return listener.received() == 1; }));
    auto newcomer = mixer(io, listener.port);
    EXPECT_TRUE(closedByPeer(idle[1], 3000));
    EXPECT_TRUE(within(3000, [&] { return listener.status.view().connectionsClosed == 1; }));
    EXPECT_EQ(listener.status.view().connectionsRefused, 1u);
    write(newcomer, wholeFrame);
    write(idle[0], wholeFrame);
    EXPECT_TRUE(within(3000, [&] { return listener.received() == 3; }));
    EXPECT_EQ(listener.status.view().connections, 8u);
    EXPECT_NE(listener.said().find("sent nothing for 1500 ms to make room"), std::string::npos);
    listener.links.stop();
}

// What the socket threads say waits for the timeline: 64 texts at most,
// then only a count.
TEST(TslLinks, NoticesKeep64TextsAndCountTheRest) {
    for (const int said : {64, 65, 200}) {
        Notices notices;
        for (int i = 0; i < said; ++i) notices.say("text " + std::to_string(i));
        EXPECT_TRUE(notices.pending());
        const auto texts = notices.take();
        const std::size_t kept = std::min(said, 64);
        ASSERT_EQ(texts.size(), kept + (said > 64 ? 1 : 0)) << said;
        EXPECT_EQ(texts[kept - 1], "text " + std::to_string(kept - 1));
        if (said > 64) {
            EXPECT_EQ(texts.back(), std::to_string(said - 64) + " more bridge messages not shown");
        }
        EXPECT_FALSE(notices.pending());
        EXPECT_TRUE(notices.take().empty());
    }
}

TEST(TslLinks, LimitsHaveTheDocumentedDefaults) {
    const OutConfig out;
    const InConfig in;
    EXPECT_EQ(out.firstRetryMs, 100);
    EXPECT_EQ(out.lastRetryMs, 5000);
    EXPECT_EQ(out.maxBacklog, 1u << 20);
    EXPECT_EQ(in.maxClients, 8u);
    EXPECT_EQ(in.partialFrameMs, 2000);
    EXPECT_EQ(in.idleMs, 10000);
    EXPECT_EQ(Bridges::maxUnknownPerListener, 256u);
}

// A TCP sender whose peer is not there waits twice as long after each
// failed try, up to the last wait.
TEST(TslLinks, SenderBacksOffBetweenTries) {
    asio::io_context io;
    tcp::acceptor closed(io, {asio::ip::make_address("127.0.0.1"), 0});
    OutConfig config;
    config.name = "lamps";
    config.device = 12;
    config.protocol = Protocol::Tcp;
    config.port = closed.local_endpoint().port();
    config.firstRetryMs = 20;
    config.lastRetryMs = 80;
    closed.close();
    Notices notices;
    BridgeStatus status("lamps", true, "tcp", "");
    OutLinks links(notices);
    links.add(config, status);
    const auto began = std::chrono::steady_clock::now();
    links.start();
    std::map<std::uint64_t, int> waits;  // by try
    within(5000, [&] {
        const auto view = status.view();
        if (view.retries != 0) waits[view.retries] = view.retryMs;
        return view.retries >= 6;
    });
    const auto took = std::chrono::steady_clock::now() - began;
    links.stop(0);
    ASSERT_GE(waits.rbegin()->first, 6u);
    for (const auto& wait : waits) {
        EXPECT_EQ(wait.second, std::min(20 << (wait.first - 1), 80)) << "try " << wait.first;
    }
    EXPECT_GE(took, std::chrono::milliseconds(20 + 40 + 80 + 80 + 80));
    EXPECT_EQ(notices.take().size(), 1u);  // the outage is said once
}

// A peer that stops reading gets, once more than the backlog waits, the
// newest level of each display instead of every step.
TEST(TslLinks, SenderBacklogIsBoundedAndCatchesUp) {
    asio::io_context io;
    tcp::acceptor acceptor(io);
    const tcp::endpoint at(asio::ip::make_address("127.0.0.1"), 0);
    acceptor.open(at.protocol());
    acceptor.set_option(asio::socket_base::receive_buffer_size(4096));
    acceptor.bind(at);
    acceptor.listen();
    OutConfig config;
    config.name = "lamps";
    config.device = 12;
    config.protocol = Protocol::Tcp;
    config.port = acceptor.local_endpoint().port();
    config.maxBacklog = 8192;
    Notices notices;
    BridgeStatus status("lamps", true, "tcp", "");
    OutLinks links(notices);
    links.add(config, status);
    links.start();
    auto peer = acceptWithin(acceptor, 3000);
    ASSERT_TRUE(peer.is_open());
    ASSERT_TRUE(within(3000, [&] { return status.connected(); }));
    std::string all;
    int sends = 0;
    const std::string filler(1000, 'x');
    while (sends < 20000 && all.find("does not keep up") == std::string::npos) {
        for (std::uint16_t index = 0; index < 10; ++index, ++sends) {
            Display d = display(index, static_cast<std::uint8_t>(sends % 4), std::to_string(sends) + filler);
            std::vector<std::vector<std::uint8_t>> packets;
            encode(0, {d}, packets);
            links.send(0, std::move(packets), {Tally{d.index, d.right, d.label}});
        }
        if (sends % 200 == 0) {
            for (const std::string& text : notices.take()) all += text + "\n";
        }
    }
    ASSERT_NE(all.find("does not keep up; sending only the newest level"), std::string::npos);
    const int last = sends - 10;  // the newest round: indexes 0 to 9
    auto seen = readLamps(peer, [&](auto& s) {
        for (std::uint16_t index = 0; index < 10; ++index) {
            if (s.count(index) == 0 || s[index].label != std::to_string(last + index) + filler) return false;
        }
        return true;
    }, 10000);
    for (std::uint16_t index = 0; index < 10; ++index) {
        EXPECT_EQ(seen[index].label.substr(0, 8), (std::to_string(last + index) + filler).substr(0, 8));
        EXPECT_EQ(seen[index].right, (last + index) % 4);
    }
    links.stop(0);
    EXPECT_LT(status.view().packetsOut, static_cast<std::uint64_t>(sends));
}

}  // namespace
