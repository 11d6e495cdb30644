// TSL UMD 3.1: the codec against byte-exact messages, each control bit in
// its place, malformed datagrams, the TCP stream at every split, and the
// bridges of that version: slots to addresses and levels to tallies, a
// mixer's tally to a GPI input or info slot, and 3.1 and 5.0 in one facility.
#include "bridges/tsl31_codec.h"

#include <gtest/gtest.h>

#include "bridges/tsl_codec.h"
#include "bridges/tsl_config.h"
#include "tsl_rig.h"

using namespace vhost;
using namespace vhost::tsl;

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

using tslrig::hex;
using tslrig::within;

std::string hexOf(const std::vector<std::uint8_t>& bytes) { return toHex(bytes.data(), bytes.size()); }

// "CAM 1" and the spaces after it, as 16 bytes of hexadecimal.
std::string text16(const std::string& text) {
    std::string padded = text + std::string(16 - text.size(), ' ');
    return toHex(reinterpret_cast<const std::uint8_t*>(padded.data()), padded.size());
}

// The first `bytes` bytes of a hexadecimal text.
std::string cut(const std::string& text, std::size_t bytes) {
    auto all = hex(text);
    all.resize(bytes);
    return hexOf(all);
}

// One message as hexadecimal: header, control, text.
std::string message(const char* header, const char* control, const std::string& text) {
    return std::string(header) + control + text16(text);
}

TEST(Tsl31Codec, EncodesMessagesByteForByte) {
    const struct {
        std::uint8_t address, tallies, brightness;
        std::string label;
        std::string bytes;
    } cases[] = {
        {0, 0x0, 3, "", message("80", "30", "")},
        {1, 0x1, 3, "CAM 1", message("81", "31", "CAM 1")},
        // Each tally on its own bit, brightness in bits 4-5.
        {2, 0x2, 3, "", message("82", "32", "")},
        {3, 0x4, 3, "", message("83", "34", "")},
        {4, 0x8, 3, "", message("84", "38", "")},
        {5, 0x3, 0, "", message("85", "03", "")},
        {6, 0x5, 1, "", message("86", "15", "")},
        {7, 0xA, 2, "", message("87", "2a", "")},
        {126, 0xF, 3, "", message("fe", "3f", "")},
        // Exactly 16 characters; one more is cut.
        {9, 0, 3, "ABCDEFGHIJKLMNOP", message("89", "30", "ABCDEFGHIJKLMNOP")},
        {9, 0, 3, "ABCDEFGHIJKLMNOPQ", message("89", "30", "ABCDEFGHIJKLMNOP")},
        // Outside printable ASCII: one '?' a character (a UTF-8 sequence is one).
        {9, 0, 3, "Caf\xc3\xa9 1", message("89", "30", "Caf? 1")},
        {9, 0, 3, "A\tB\x7f" "C~ ", message("89", "30", "A?B?C~")},
        {9, 0, 3, "\xe2\x82\xac" "1", message("89", "30", "?1")},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> bytes;
        v31::encode(c.address, c.tallies, c.brightness, c.label, bytes);
        EXPECT_EQ(hexOf(bytes), hexOf(hex(c.bytes))) << c.label;
        std::vector<v31::Message> back;
        ASSERT_EQ(v31::decode(bytes.data(), bytes.size(), back), Malformed::None) << c.label;
        ASSERT_EQ(back.size(), 1u);
        EXPECT_EQ(back[0].address, c.address);
        EXPECT_EQ(back[0].tallies, c.tallies);
        EXPECT_EQ(back[0].brightness, c.brightness);
        EXPECT_EQ(back[0].label, v31::shownLabel(c.label));
    }
    EXPECT_FALSE(v31::replacesCharacters("ABCDEFGHIJKLMNOPQRSTU"));
    EXPECT_TRUE(v31::replacesCharacters("Caf\xc3\xa9"));
    // Only the 16 characters sent count.
    EXPECT_FALSE(v31::replacesCharacters("ABCDEFGHIJKLMNOP\xc3\xa9"));
}

// Bits 0-3 are tallies 1 to 4, bits 4-5 brightness; bits 6-7 must be zero.
TEST(Tsl31Codec, ReadsEachControlBitInItsPlace) {
    const struct {
        std::uint8_t control;
        Malformed fault;
        std::uint8_t tallies, brightness;
    } cases[] = {
        {0x01, Malformed::None, 0x1, 0}, {0x02, Malformed::None, 0x2, 0},
        {0x04, Malformed::None, 0x4, 0}, {0x08, Malformed::None, 0x8, 0},
        {0x10, Malformed::None, 0x0, 1}, {0x20, Malformed::None, 0x0, 2},
        {0x3f, Malformed::None, 0xF, 3}, {0x40, Malformed::ControlBits, 0, 0},
        {0x80, Malformed::ControlBits, 0, 0},
    };
    for (const auto& c : cases) {
        auto bytes = hex(message("81", "00", "X"));
        bytes[1] = c.control;
        std::vector<v31::Message> back;
        ASSERT_EQ(v31::decode(bytes.data(), bytes.size(), back), c.fault) << int(c.control);
        if (c.fault != Malformed::None) continue;
        EXPECT_EQ(back[0].tallies, c.tallies) << int(c.control);
        EXPECT_EQ(back[0].brightness, c.brightness) << int(c.control);
    }
}

TEST(Tsl31Codec, DropsMalformedDatagramsWhole) {
    const std::string good = message("81", "31", "CAM 1");
    const struct {
        std::string bytes;
        Malformed fault;
        std::size_t messages;
    } cases[] = {
        {good, Malformed::None, 1},
        {good + message("fe", "32", "CAM 126"), Malformed::None, 2},
        {"", Malformed::NotWholeMessages, 0},
        {cut(good, 17), Malformed::NotWholeMessages, 0},
        {good + "20", Malformed::NotWholeMessages, 0},         // 19 bytes
        {good + cut(good, 17), Malformed::NotWholeMessages, 0},
        {good + cut(good, 19), Malformed::NotWholeMessages, 0},
        {message("7f", "31", ""), Malformed::HeaderByte, 0},
        {message("00", "31", ""), Malformed::HeaderByte, 0},
        {message("ff", "31", ""), Malformed::Address127, 0},
        // A fault in the second message drops the first too.
        {good + message("ff", "31", ""), Malformed::Address127, 0},
        {good + message("82", "71", ""), Malformed::ControlBits, 0},
        // Text bytes are not checked: the header and control bytes are.
        {"8131" + std::string(32, 'f'), Malformed::None, 1},
    };
    for (const auto& c : cases) {
        const auto bytes = hex(c.bytes);
        std::vector<v31::Message> out;
        EXPECT_EQ(v31::decode(bytes.data(), bytes.size(), out), c.fault) << c.bytes;
        if (c.fault == Malformed::None) {
            EXPECT_EQ(out.size(), c.messages) << c.bytes;
        }
    }
}

struct Split {
    std::vector<std::vector<std::uint8_t>> packets;
    std::vector<Malformed> faults;
};

Split split(const std::vector<std::uint8_t>& stream, std::size_t piece) {
    v31::Splitter splitter;
    Split found;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        splitter.feed(
            stream.data() + at, std::min(piece, stream.size() - at),
            [&](const std::uint8_t* data, std::size_t size) { found.packets.emplace_back(data, data + size); },
            [&](Malformed kind) { found.faults.push_back(kind); });
    }
    splitter.end([&](Malformed kind) { found.faults.push_back(kind); });
    return found;
}

TEST(Tsl31Splitter, FindsEveryMessageAcrossEverySplit) {
    const std::string one = message("81", "31", "CAM 1"), two = message("fe", "32", "CAM 126");
    const auto stream = hex(one + two);
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        const Split found = split(stream, piece);
        std::vector<std::uint8_t> all;
        for (const auto& packet : found.packets) {
            EXPECT_EQ(packet.size() % v31::messageSize, 0u) << piece;
            all.insert(all.end(), packet.begin(), packet.end());
        }
        EXPECT_EQ(all, stream) << "pieces of " << piece;
        EXPECT_TRUE(found.faults.empty()) << piece;
    }
    // The messages of one piece are one packet.
    EXPECT_EQ(split(stream, stream.size()).packets.size(), 1u);
}

TEST(Tsl31Splitter, DropsBrokenMessagesAndFindsTheNextHeader) {
    const std::string good = message("81", "31", "CAM 1");
    const struct {
        std::string stream;
        std::vector<Malformed> faults;
        std::size_t messages;
    } cases[] = {
        {"4142 43" + good, {Malformed::Stray}, 1},
        // Address 0 (0x80) is a header like any other.
        {"41" + message("80", "31", "") + good, {Malformed::Stray}, 2},
        // A header before a message was complete: that one was cut short.
        {cut(good, 10) + good, {Malformed::Short}, 1},
        {cut(good, 17) + good, {Malformed::Short}, 1},
        {good + cut(good, 1), {Malformed::Short}, 1},
        {message("ff", "31", "") + good, {Malformed::Address127}, 1},
        {message("82", "41", "") + good, {Malformed::ControlBits}, 1},
        {good + "41" + good + "4242", {Malformed::Stray, Malformed::Stray}, 2},
    };
    for (const auto& c : cases) {
        const Split found = split(hex(c.stream), 5);
        std::size_t messages = 0;
        for (const auto& packet : found.packets) messages += packet.size() / v31::messageSize;
        EXPECT_EQ(messages, c.messages) << c.stream;
        EXPECT_EQ(found.faults, c.faults) << c.stream;
    }
    // 64 KiB of stray bytes: one report.
    EXPECT_EQ(split(std::vector<std::uint8_t>(65536, 0x41), 4096).faults,
              std::vector<Malformed>{Malformed::Stray});
}

// A display on 127.0.0.1: each datagram as hexadecimal.
struct UdpDisplay : tslrig::UdpDisplay {
    std::vector<std::string> take(std::size_t count, int ms) {
        std::vector<std::string> texts;
        for (const auto& datagram : datagrams(count, ms)) texts.push_back(hexOf(datagram));
        return texts;
    }
};

// A facility with the bridges of `text`; datagrams given as hexadecimal.
struct Rig : tslrig::Rig {
    explicit Rig(const std::string& text) : tslrig::Rig(text, "tsl31") {}
    void receive(const std::string& bytes, std::size_t receiver = 0) { receiveBytes(hex(bytes), receiver); }
};

// Address = slot + offset (0 to 126); level 1 is tally 1, 2 tally 2, 3 both;
// brightness full; the label padded or cut to 16 characters.
TEST(Tsl31Bridge, SenderMapsSlotsToAddressesAndLevelsToTallies) {
    const struct {
        const char* settings;
        std::int32_t slot;
        const char* level;
        const char* sent;  // "" when nothing is
    } cases[] = {
        {"", 5, "0", "8530"},
        {"", 5, "1", "8531"},
        {"", 5, "2", "8532"},
        {"", 5, "3", "8533"},
        {"offset = -19\nlabel.20 = CAM 1\n", 20, "1", "8131"},
        {"offset = 106\n", 20, "2", "fe32"},
        {"offset = 107\n", 20, "2", ""},
        {"offset = -20\n", 20, "1", "8031"},
        {"offset = -21\n", 20, "1", ""},
        {"", 5, "4", ""},
    };
    for (const auto& c : cases) {
        UdpDisplay display;
        Rig rig("[tsl_out.umds]\nversion = 3.1\ndevice = 12\nport = " + display.port() + "\n" +
                c.settings);
        rig.facility->forceInfo(12, c.slot, c.level);
        const auto got = display.take(1, *c.sent != '\0' ? 3000 : 200);
        if (*c.sent == '\0') {
            EXPECT_TRUE(got.empty()) << c.settings << c.level;
            EXPECT_NE(rig.texts.all.find("not sent"), std::string::npos) << rig.texts.all;
            continue;
        }
        ASSERT_EQ(got.size(), 1u) << c.settings << c.level;
        const std::string label = std::string(c.settings).find("CAM 1") != std::string::npos ? "CAM 1" : "";
        EXPECT_EQ(got[0], hexOf(hex(c.sent + text16(label)))) << c.settings << c.level;
    }
    UdpDisplay display;
    Rig rig("[tsl_out.umds]\nversion = 3.1\ndevice = 12\nport = " + display.port() +
            "\noffset = 200\n");
    rig.facility->forceInfo(12, 20, "1");
    EXPECT_NE(rig.texts.all.find("is display index 220, outside 0 to 126; not sent"),
              std::string::npos)
        << rig.texts.all;
}

// The displays one step changes leave in one datagram (batch = off: one
// each); a label the displays cannot show is said once.
TEST(Tsl31Bridge, OneStepsDisplaysLeaveInOneDatagram) {
    for (const bool batch : {true, false}) {
        UdpDisplay display;
        Rig rig("[tsl_in.mixer]\nversion = 3.1\nport = 0\ninfo = 12\nword.1 = 3\n"
                "[tsl_out.umds]\nversion = 3.1\ndevice = 12\nport = " + display.port() +
                "\nlabel.1 = Kamera \xc3\xbc\nlabel.2 = Kamera \xc3\xa4\n" + (batch ? "" : "batch = off\n"));
        rig.receive(message("81", "31", "") + message("82", "31", "") + message("83", "30", ""));
        const auto got = display.take(3, batch ? 300 : 3000);
        const std::string one = hexOf(hex("8133" + text16("Kamera ?")));
        const std::string two = hexOf(hex("8233" + text16("Kamera ?")));
        const std::string three = hexOf(hex("8330" + text16("")));
        const std::vector<std::string> wanted =
            batch ? std::vector<std::string>{hexOf(hex(one + two + three))}
                  : std::vector<std::string>{one, two, three};
        EXPECT_EQ(got, wanted) << (batch ? "batch on" : "batch off");
        std::size_t said = 0;
        for (std::size_t at = 0; (at = rig.texts.all.find("cannot show", at)) != std::string::npos; ++at) ++said;
        EXPECT_EQ(said, 1u) << rig.texts.all;
        EXPECT_NE(rig.texts.all.find("sent as \"Kamera ?\""), std::string::npos) << rig.texts.all;
    }
}

// `tally = N` names the tally read; an info slot takes word.0 / word.1.
TEST(Tsl31Bridge, ReceiverReadsTheTallyItIsGiven) {
    const struct {
        const char* settings;
        const char* control;
        std::int32_t device, input;
        const char* wanted;
    } cases[] = {
        {"gpi = 3\n", "31", 3, 4, "1"},
        {"gpi = 3\n", "32", 3, 4, "0"},
        {"gpi = 3\ntally = 1\n", "3e", 3, 4, "0"},
        {"gpi = 3\ntally = 2\n", "32", 3, 4, "1"},
        {"gpi = 3\ntally = 2\n", "31", 3, 4, "0"},
        {"gpi = 3\ntally = 3\n", "04", 3, 4, "1"},
        {"gpi = 3\ntally = 3\n", "3b", 3, 4, "0"},
        {"gpi = 3\ntally = 4\n", "08", 3, 4, "1"},
        {"gpi = 3\ntally = 4\n", "37", 3, 4, "0"},
        {"gpi = 3\noffset = 10\n", "31", 3, 14, "1"},
        {"info = 20\n", "31", 20, 4, "1"},
        {"info = 20\nword.1 = PROGRAM\nword.0 = OFF\n", "31", 20, 4, "PROGRAM"},
        {"info = 20\nword.1 = PROGRAM\nword.0 = OFF\n", "30", 20, 4, "OFF"},
        {"info = 20\ntally = 2\nword.1 = PREVIEW\n", "32", 20, 4, "PREVIEW"},
    };
    for (const auto& c : cases) {
        Rig rig(std::string("[tsl_in.mixer]\nversion = 3.1\nport = 0\n") + c.settings);
        rig.receive(message("84", c.control, "CAM 4"));
        const bool gpi = std::string(c.settings).compare(0, 3, "gpi") == 0;
        const std::string got = gpi ? std::to_string(rig.facility->gpiState(c.device, c.input))
                                    : rig.facility->infoText(c.device, c.input);
        EXPECT_EQ(got, c.wanted) << c.settings << " control " << c.control;
    }
}

// Dropped whole, counted, and said once per kind; the bridge state names its version.
TEST(Tsl31Bridge, MalformedDatagramsAreCountedAndSaidOncePerKind) {
    Rig rig("[tsl_in.mixer]\nversion = 3.1\nport = 0\ngpi = 3\n");
    for (int twice = 0; twice < 2; ++twice) {
        rig.receive(cut(message("81", "31", ""), 17));
        rig.receive(message("01", "31", ""));
        rig.receive(message("81", "31", "") + message("ff", "31", ""));
        rig.receive(message("81", "71", ""));
    }
    EXPECT_EQ(rig.facility->gpiState(3, 1), 0);
    const nlohmann::json state = rig.bridges.state()[0];
    EXPECT_EQ(state["dropped"], 8);
    EXPECT_EQ(state["packets_in"], 0);
    EXPECT_EQ(state["version"], "3.1");
    EXPECT_EQ(state["last_error"], "control bits 6-7 set");
    for (const char* kind : {"length not a multiple of 18 bytes", "a header byte below 0x80",
                             "a header byte naming address 127", "control bits 6-7 set"}) {
        const std::string line = std::string("dropped a packet: ") + kind;
        const std::size_t first = rig.texts.all.find(line);
        EXPECT_NE(first, std::string::npos) << rig.texts.all;
        EXPECT_EQ(rig.texts.all.find(line, first + 1), std::string::npos) << kind;
    }
    Rig five("[tsl_in.mixer]\nport = 0\ngpi = 3\n");
    EXPECT_EQ(five.bridges.state()[0]["version"], "5.0");
}

// A 5.0 mixer and 3.1 displays, and a 3.1 mixer and 5.0 lamps: the level
// crosses over through the info slot.
TEST(Tsl31Bridge, BridgesBetweenTheVersionsBothWays) {
    {
        UdpDisplay display;
        Rig rig("[tsl_in.mixer]\nport = 0\ninfo = 12\n[tsl_out.umds]\nversion = 3.1\ndevice = 12\nport = " +
                display.port() + "\n");
        Display preview;
        preview.index = 4;
        preview.right = 2;
        const auto packet = encodePacket(0, {preview});
        rig.bridges.receive(0, packet.data(), packet.size());
        EXPECT_EQ(rig.facility->infoText(12, 4), "2");
        EXPECT_EQ(display.take(1, 3000), std::vector<std::string>{hexOf(hex("8432" + text16("")))});
    }
    {
        UdpDisplay lamps;
        Rig rig("[tsl_in.mixer]\nversion = 3.1\nport = 0\ninfo = 12\n[tsl_out.lamps]\ndevice = 12\nport = " +
                lamps.port() + "\nlamps = left\n");
        rig.receive(message("84", "31", ""));
        EXPECT_EQ(rig.facility->infoText(12, 4), "1");
        // 5.0: index 4, only the left lamp (bits 4-5) at level 1, brightness full.
        EXPECT_EQ(lamps.take(1, 3000), std::vector<std::string>{"0a00 0000 0000 0400 d000 0000"});
    }
}

// The scenario steps of a 3.1 bridge: its fields and their ranges.
TEST(Tsl31Bridge, ScenarioStepsTakeTheFieldsOfTheVersion) {
    const struct {
        const char* step;
        const char* error;  // "" when the step is taken
        std::int32_t input;
    } cases[] = {
        {"tsl mixer index=126 tally1=1", "", 126},
        {"tsl mixer index=0 tally1=1 tally2=1 tally3=1 tally4=1 brightness=0 label=X", "", 0},
        {"tsl mixer index=127 tally1=1", "index must be a number from 0 to 126", 127},
        {"tsl mixer index=5 tally1=2", "tally1 must be a number from 0 to 1", 5},
        {"tsl mixer index=5 tally4=2", "tally4 must be a number from 0 to 1", 5},
        {"tsl mixer index=5 tally1=1 brightness=4", "brightness must be a number from 0 to 3", 5},
        {"tsl mixer index=5 right=1", "unknown field 'right'", 5},
        {"tsl mixer tally1=1", "index=N is needed", -1},
    };
    for (const auto& c : cases) {
        Rig rig("[tsl_in.mixer]\nversion = 3.1\nport = 0\ngpi = 3\n");
        rig.bridges.run(c.step, 1, *rig.facility, [](bool, const std::string&) {});
        if (*c.error == '\0') {
            EXPECT_EQ(rig.facility->gpiState(3, c.input), 1) << c.step << rig.texts.all;
        } else {
            EXPECT_NE(rig.texts.all.find(c.error), std::string::npos) << c.step << rig.texts.all;
            if (c.input >= 0) {
                EXPECT_EQ(rig.facility->gpiState(3, c.input), 0) << c.step;
            }
        }
    }
    UdpDisplay display;
    Rig rig("[tsl_out.umds]\nversion = 3.1\ndevice = 12\nport = " + display.port() +
            "\nlabel.3 = ABCDEFGHIJKLMNOPQRS\n");
    rig.facility->forceInfo(12, 3, "2");
    std::vector<std::string> checks;
    auto check = [&](bool held, const std::string& what) { checks.push_back((held ? "ok " : "FAIL ") + what); };
    for (const char* step : {"expect tsl umds index=3 tally1=0 tally2=1 tally3=0 tally4=0",
                             "expect tsl umds index=3 label=ABCDEFGHIJKLMNOP",
                             "expect tsl umds index=3 tally1=1"}) {
        rig.bridges.run(step, 1, *rig.facility, check);
    }
    EXPECT_EQ(checks, (std::vector<std::string>{
                          "ok tsl umds index 3 tally1=0 tally2=1 tally3=0 tally4=0",
                          "ok tsl umds index 3 label=\"ABCDEFGHIJKLMNOP\"",
                          "FAIL tsl umds index 3 tally1=1, got tally1=0 tally2=1 tally3=0 tally4=0 "
                          "label=\"ABCDEFGHIJKLMNOP\""}));
}

// Over TCP the messages go as they are, one after the other, and a
// listener finds them in the stream however it is split.
TEST(Tsl31Links, MessagesCrossTcpUnframed) {
    asio::io_context io;
    tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    Rig rig("[tsl_out.umds]\nversion = 3.1\ndevice = 12\nprotocol = tcp\nport = " +
            std::to_string(acceptor.local_endpoint().port()) + "\n");
    tcp::socket peer = acceptor.accept();
    rig.facility->forceInfo(12, 7, "3");
    std::string got;
    peer.non_blocking(true);
    within(3000, [&] {
        std::uint8_t buffer[64];
        boost::system::error_code ec;
        const std::size_t n = peer.read_some(asio::buffer(buffer), ec);
        if (!ec) got += toHex(buffer, n) + " ";
        std::string digits;
        for (const char c : got) if (c != ' ') digits += c;
        return digits.size() >= 36;
    });
    std::string digits;
    for (const char c : got) if (c != ' ') digits += c;
    std::string wanted;
    for (const char c : message("87", "33", "")) if (c != ' ') wanted += c;
    EXPECT_EQ(digits, wanted);
}

}  // namespace
