// tsl50_protocol.cpp - see tsl50_protocol.h.
#include "bridges/tsl50_protocol.h"

#include "bridges/fields.h"
#include "bridges/tsl_codec.h"
#include "text/host_parsers.h"

namespace vhost {
namespace tsl {

namespace {

const char* const version50 = "5.0";
const std::uint16_t lastIndex50 = 0xFFFE;  // 0xFFFF addresses every display

enum class Lamp { Right, Left, Text };

bool lampOf(const std::string& text, Lamp& out) {
    if (text == "right") out = Lamp::Right;
    else if (text == "left") out = Lamp::Left;
    else if (text == "text") out = Lamp::Text;
    else return false;
    return true;
}

std::uint8_t lampLevel(const Display& display, Lamp lamp) {
    return lamp == Lamp::Right ? display.right : lamp == Lamp::Left ? display.left : display.text;
}

class Sender50 : public SenderCodec {
public:
    const char* version() const override { return version50; }

    Setting setting(const std::string& key, const std::string& value,
                    std::string& expected) override {
        std::int32_t n = 0;
        if (key == "screen") {
            expected = "a screen from 0 to 65535";
            if (!numberIn(value, 0, 65535, n)) return Setting::Bad;
            screen_ = static_cast<std::uint16_t>(n);
            return Setting::Taken;
        }
        if (key != "lamps") return Setting::Unknown;
        expected = "right, left and/or text";
        right_ = left_ = text_ = false;
        std::string words = value;
        for (char& c : words) {
            if (c == ',') c = ' ';
        }
        std::size_t at = 0;
        int count = 0;
        while ((at = words.find_first_not_of(' ', at)) != std::string::npos) {
            const std::size_t end = std::min(words.find(' ', at), words.size());
            Lamp which = Lamp::Right;
            if (!lampOf(words.substr(at, end - at), which)) return Setting::Bad;
            (which == Lamp::Right ? right_ : which == Lamp::Left ? left_ : text_) = true;
            ++count;
            at = end;
        }
        return count > 0 ? Setting::Taken : Setting::Bad;
    }
    const char* settingNames() const override {
        return "device, version, protocol, address, port, screen, offset, lamps, batch, "
               "label.SLOT";
    }

    std::uint16_t lastIndex() const override { return lastIndex50; }

    void encode(const std::vector<Tally>& tallies, bool batch, Packets& packets) const override {
        std::vector<Message> messages;
        messages.reserve(tallies.size());
        for (const Tally& tally : tallies) {
            Message message;
            message.index = tally.index;
            message.control = controlWord(right_ ? tally.level : 0, text_ ? tally.level : 0,
                                          left_ ? tally.level : 0);
            message.label = tally.label;
            messages.push_back(message);
        }
        if (batch) {
            tsl::encode(screen_, messages, packets);
            return;
        }
        std::vector<Message> one(1);
        for (const Message& message : messages) {
            one[0] = message;
            tsl::encode(screen_, one, packets);
        }
    }

    void frame(const std::vector<std::uint8_t>& packet,
               std::vector<std::uint8_t>& out) const override {
        tsl::frame(packet, out);
    }

    std::string describe(const std::uint8_t* bytes, std::size_t size) const override {
        Packet packet;
        decode(bytes, size, packet);
        std::string text;
        for (const Display& display : packet.displays) {
            text += (&display == &packet.displays.front() ? "" : "; ") + std::string("index ") +
                    std::to_string(display.index) + " right=" + std::to_string(display.right) +
                    " left=" + std::to_string(display.left) +
                    " text=" + std::to_string(display.text) +
                    " label=" + displayQuote(display.label);
        }
        return text;
    }

    std::vector<std::pair<const char*, int>> fields(std::uint8_t level) const override {
        return {{"right", right_ ? level : 0}, {"left", left_ ? level : 0}, {"text", text_ ? level : 0}};
    }
    std::string shown(std::string_view label) const override { return std::string(label); }
    bool replaces(std::string_view) const override { return false; }

private:
    std::uint16_t screen_ = 0;
    bool right_ = true, left_ = true, text_ = true;
};

// A stream of DLE/STX frames.
class Frames : public StreamReader {
public:
    void feed(const std::uint8_t* data, std::size_t size, const OnPacket& onPacket,
              const OnFault& onFault) override {
        deframer_.feed(data, size, onPacket, onFault);
    }
    void end(const OnFault& onFault) override { deframer_.end(onFault); }
    bool inFrame() const override { return deframer_.inFrame(); }

private:
    Deframer deframer_;
};

class Receiver50 : public ReceiverCodec {
public:
    const char* version() const override { return version50; }

    Setting setting(const std::string& key, const std::string& value,
                    std::string& expected) override {
        std::int32_t n = 0;
        if (key == "screen") {
            expected = "any or a screen from 0 to 65535";
            anyScreen_ = value == "any";
            if (!anyScreen_ && !numberIn(value, 0, 65535, n)) return Setting::Bad;
            screen_ = static_cast<std::uint16_t>(n);
            return Setting::Taken;
        }
        if (key == "lamp") {
            expected = "right, left or text";
            return lampOf(value, lamp_) ? Setting::Taken : Setting::Bad;
        }
        if (key == "level") {
            expected = "any or a level from 1 to 3";
            if (value != "any" && !numberIn(value, 1, 3, n)) return Setting::Bad;
            level_ = static_cast<std::uint8_t>(value == "any" ? 0 : n);
            return Setting::Taken;
        }
        return Setting::Unknown;
    }
    const char* settingNames() const override {
        return "version, protocol, address, port, screen, gpi, info, offset, lamp, level, "
               "word.0 to word.3";
    }

    std::uint8_t highestLevel() const override { return 3; }
    std::uint8_t closingLevel() const override { return level_; }

    Malformed decode(const std::uint8_t* data, std::size_t size,
                     std::vector<Heard>& heard) const override {
        heard.clear();
        // Kept per thread: a listener's thread and the facility's decode apart.
        thread_local Packet packet;
        const Malformed fault = tsl::decode(data, size, packet);
        if (fault != Malformed::None || packet.screenControl) return fault;
        if (!anyScreen_ && packet.screen != screen_ && packet.screen != everyone) return fault;
        for (const Display& display : packet.displays) {
            if (display.controlData) continue;
            heard.push_back({display.index, lampLevel(display, lamp_), display.index == everyone});
        }
        return Malformed::None;
    }

    std::unique_ptr<StreamReader> streamReader() const override {
        return std::make_unique<Frames>();
    }

    bool packetOf(const std::map<std::string, std::string>& fields,
                  std::vector<std::uint8_t>& packet, std::string& error) const override {
        static const char* const known[] = {"index", "screen", "right", "left",
                                            "text",  "label",  nullptr};
        std::int32_t index = -1, screen = 0, right = 0, left = 0, text = 0;
        const bool ok = numberField(fields, "index", 0, 65535, index, error) &&
                        numberField(fields, "screen", 0, 65535, screen, error) &&
                        numberField(fields, "right", 0, 3, right, error) &&
                        numberField(fields, "left", 0, 3, left, error) &&
                        numberField(fields, "text", 0, 3, text, error);
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
        Display display;
        display.index = static_cast<std::uint16_t>(index);
        display.right = static_cast<std::uint8_t>(right);
        display.left = static_cast<std::uint8_t>(left);
        display.text = static_cast<std::uint8_t>(text);
        const auto label = fields.find("label");
        if (label != fields.end()) display.label = label->second;
        packet = encodePacket(static_cast<std::uint16_t>(screen), {display});
        return true;
    }
    const char* stepFields() const override {
        return "tsl NAME index=N [screen=S] [right=L] [left=L] [text=L] [label=TEXT], or "
               "hex/stream <bytes>";
    }

private:
    bool anyScreen_ = true;
    std::uint16_t screen_ = 0;
    Lamp lamp_ = Lamp::Right;
    std::uint8_t level_ = 0;
};

}  // namespace

std::unique_ptr<SenderCodec> makeTsl50Sender() { return std::make_unique<Sender50>(); }
std::unique_ptr<ReceiverCodec> makeTsl50Receiver() { return std::make_unique<Receiver50>(); }

}  // namespace tsl
}  // namespace vhost
