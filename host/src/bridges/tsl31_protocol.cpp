// tsl31_protocol.cpp - see tsl31_protocol.h.
#include "bridges/tsl31_protocol.h"

#include "bridges/fields.h"
#include "bridges/tsl31_codec.h"
#include "text/host_parsers.h"

namespace vhost {
namespace tsl {

namespace {

const char* const version31 = "3.1";
const std::uint8_t program = 1;  // tally 1
const std::uint8_t preview = 2;  // tally 2

// Level 1 (program) lights tally 1, level 2 (preview) tally 2, level 3 both.
std::uint8_t talliesOf(std::uint8_t level) {
    return static_cast<std::uint8_t>(((level & program) != 0 ? 0x01 : 0) |
                                     ((level & preview) != 0 ? 0x02 : 0));
}

class Sender31 : public SenderCodec {
public:
    const char* version() const override { return version31; }
    Setting setting(const std::string&, const std::string&, std::string&) override {
        return Setting::Unknown;
    }
    const char* settingNames() const override {
        return "device, version, protocol, address, port, offset, batch, label.SLOT";
    }
    std::uint16_t lastIndex() const override { return v31::lastAddress; }

    void encode(const std::vector<Tally>& tallies, bool batch, Packets& packets) const override {
        if (tallies.empty()) return;
        if (batch) {
            // A datagram has room for thousands of messages: a step's fit in one.
            std::vector<std::uint8_t> packet;
            packet.reserve(tallies.size() * v31::messageSize);
            for (const Tally& tally : tallies) add(tally, packet);
            packets.push_back(std::move(packet));
            return;
        }
        for (const Tally& tally : tallies) {
            packets.emplace_back();
            add(tally, packets.back());
        }
    }

    // Messages follow each other on the stream as they are.
    void frame(const std::vector<std::uint8_t>& packet,
               std::vector<std::uint8_t>& out) const override {
        out.insert(out.end(), packet.begin(), packet.end());
    }

    std::string describe(const std::uint8_t* bytes, std::size_t size) const override {
        std::vector<v31::Message> messages;
        v31::decode(bytes, size, messages);
        std::string text;
        for (const v31::Message& message : messages) {
            text += (&message == &messages.front() ? "" : "; ") + std::string("index ") +
                    std::to_string(message.address);
            for (int tally = 0; tally < 4; ++tally) {
                text += " tally" + std::to_string(tally + 1) + "=" +
                        std::to_string((message.tallies >> tally) & 1);
            }
            text += " label=" + displayQuote(trim(message.label));
        }
        return text;
    }

    std::vector<std::pair<const char*, int>> fields(std::uint8_t level) const override {
        const std::uint8_t tallies = talliesOf(level);
        return {{"tally1", tallies & 1}, {"tally2", (tallies >> 1) & 1}, {"tally3", 0}, {"tally4", 0}};
    }
    std::string shown(std::string_view label) const override {
        return trim(v31::shownLabel(label));
    }
    bool replaces(std::string_view label) const override {
        return v31::replacesCharacters(label);
    }

private:
    static void add(const Tally& tally, std::vector<std::uint8_t>& packet) {
        v31::encode(static_cast<std::uint8_t>(tally.index), talliesOf(tally.level),
                    v31::fullBrightness, tally.label, packet);
    }
};

class Messages : public StreamReader {
public:
    void feed(const std::uint8_t* data, std::size_t size, const OnPacket& onPacket,
              const OnFault& onFault) override {
        splitter_.feed(data, size, onPacket, onFault);
    }
    void end(const OnFault& onFault) override { splitter_.end(onFault); }
    bool inFrame() const override { return splitter_.inMessage(); }

private:
    v31::Splitter splitter_;
};

class Receiver31 : public ReceiverCodec {
public:
    const char* version() const override { return version31; }

    Setting setting(const std::string& key, const std::string& value,
                    std::string& expected) override {
        if (key != "tally") return Setting::Unknown;
        expected = "a tally from 1 to 4";
        std::int32_t n = 0;
        if (!numberIn(value, 1, 4, n)) return Setting::Bad;
        bit_ = static_cast<std::uint8_t>(n - 1);
        return Setting::Taken;
    }
    const char* settingNames() const override {
        return "version, protocol, address, port, gpi, info, offset, tally, word.0, word.1";
    }

    std::uint8_t highestLevel() const override { return 1; }
    std::uint8_t closingLevel() const override { return 0; }

    Malformed decode(const std::uint8_t* data, std::size_t size,
                     std::vector<Heard>& heard) const override {
        heard.clear();
        thread_local std::vector<v31::Message> messages;
        const Malformed fault = v31::decode(data, size, messages);
        if (fault != Malformed::None) return fault;
        for (const v31::Message& message : messages) {
            heard.push_back({message.address,
                             static_cast<std::uint8_t>((message.tallies >> bit_) & 1), false});
        }
        return Malformed::None;
    }

    std::unique_ptr<StreamReader> streamReader() const override {
        return std::make_unique<Messages>();
    }

    bool packetOf(const std::map<std::string, std::string>& fields,
                  std::vector<std::uint8_t>& packet, std::string& error) const override {
        static const char* const known[] = {"index",  "tally1", "tally2",     "tally3",
                                            "tally4", "label",  "brightness", nullptr};
        std::int32_t index = -1, brightness = v31::fullBrightness;
        std::int32_t tally[4] = {0, 0, 0, 0};
        bool ok = numberField(fields, "index", 0, v31::lastAddress, index, error) &&
                  numberField(fields, "brightness", 0, 3, brightness, error);
        for (int n = 0; ok && n < 4; ++n) {
            ok = numberField(fields, "tally" + std::to_string(n + 1), 0, 1, tally[n], error);
        }
        if (!ok) return false;
        const std::string unknown = unknownField(fields, known);
        if (!unknown.empty()) {
            error = "unknown field '" + unknown + "'";
            return false;
        }
        if (index < 0) {
            error = "index=N is needed";
            return false;
        }
        const auto label = fields.find("label");
        packet.clear();
        v31::encode(static_cast<std::uint8_t>(index),
                    static_cast<std::uint8_t>(tally[0] | tally[1] << 1 | tally[2] << 2 | tally[3] << 3),
                    static_cast<std::uint8_t>(brightness),
                    label != fields.end() ? label->second : std::string(), packet);
        return true;
    }
    const char* stepFields() const override {
        return "tsl NAME index=N [tally1=B] [tally2=B] [tally3=B] [tally4=B] [brightness=B] "
               "[label=TEXT], or hex/stream <bytes>";
    }

private:
    std::uint8_t bit_ = 0;  // the tally read: 0 is tally 1
};

}  // namespace

std::unique_ptr<SenderCodec> makeTsl31Sender() { return std::make_unique<Sender31>(); }
std::unique_ptr<ReceiverCodec> makeTsl31Receiver() { return std::make_unique<Receiver31>(); }

}  // namespace tsl
}  // namespace vhost
