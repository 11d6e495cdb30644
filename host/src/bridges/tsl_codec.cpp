// tsl_codec.cpp - see tsl_codec.h.
#include "bridges/tsl_codec.h"

#include <algorithm>
#include <cstring>

namespace vhost {
namespace tsl {

namespace {

const std::uint8_t unicodeFlag = 0x01;
const std::uint8_t screenControlFlag = 0x02;
const std::uint16_t controlDataBit = 0x8000;

std::uint16_t read16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

// A packet being built: never more than maxPacket bytes, so it is built in
// place and copied out once.
struct PacketBuffer {
    std::uint8_t bytes[maxPacket];
    std::size_t size = 0;
    bool empty() const { return size == 0; }
};

void put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value & 0xFF);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16LE to UTF-8; a lone surrogate becomes U+FFFD.
std::string fromUtf16(const std::uint8_t* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        std::uint32_t unit = read16(data + i);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < size) {
            const std::uint32_t low = read16(data + i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (unit >= 0xD800 && unit < 0xE000) unit = 0xFFFD;
        appendUtf8(out, unit);
    }
    return out;
}

// UTF-8 to UTF-16 code units; a malformed byte becomes U+FFFD.
std::vector<std::uint16_t> toUtf16(std::string_view text) {
    std::vector<std::uint16_t> units;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0xFFFD;
        std::size_t length = 1;
        if (lead < 0x80) {
            code = lead;
        } else if (lead >= 0xC2 && lead < 0xF5) {
            length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            std::uint32_t value = lead & (0x3F >> (length - 1));
            bool ok = i + length <= text.size();
            for (std::size_t k = 1; ok && k < length; ++k) {
                const auto next = static_cast<unsigned char>(text[i + k]);
                ok = (next & 0xC0) == 0x80;
                value = (value << 6) | (next & 0x3F);
            }
            const bool shortest = (length == 2) || (length == 3 && value >= 0x800) ||
                                  (length == 4 && value >= 0x10000);
            if (ok && shortest && value < 0x110000 && !(value >= 0xD800 && value < 0xE000)) {
                code = value;
            } else {
                length = 1;
            }
        }
        i += length;
        if (code >= 0x10000) {
            units.push_back(static_cast<std::uint16_t>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<std::uint16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<std::uint16_t>(code));
        }
    }
    return units;
}

// Appends one message, its label cut to at most `room` bytes of text.
void appendMessage(PacketBuffer& out, const Message& message, bool unicode, std::size_t room) {
    std::uint8_t* head = out.bytes + out.size;
    put16(head, message.index);
    put16(head + 2, message.control);
    std::size_t length = 0;
    if (unicode) {
        for (const std::uint16_t unit : toUtf16(message.label)) {
            if (length + 2 > room) break;
            put16(head + messageHead + length, unit);
            length += 2;
        }
    } else {
        length = std::min(message.label.size(), room);
        if (length != 0) std::memcpy(head + messageHead, message.label.data(), length);
    }
    put16(head + 4, static_cast<std::uint16_t>(length));
    out.size += messageHead + length;
}

void startPacket(PacketBuffer& out, std::uint16_t screen, bool unicode) {
    put16(out.bytes, 0);  // PBC, set when the packet is done
    out.bytes[2] = 0;     // version
    out.bytes[3] = unicode ? unicodeFlag : 0;
    put16(out.bytes + 4, screen);
    out.size = headerSize;
}

void finishPacket(PacketBuffer& out, std::vector<std::vector<std::uint8_t>>& packets) {
    put16(out.bytes, static_cast<std::uint16_t>(out.size - 2));
    packets.emplace_back(out.bytes, out.bytes + out.size);
    out.size = 0;
}

}  // namespace

bool Display::operator==(const Display& other) const {
    return index == other.index && right == other.right && text == other.text &&
           left == other.left && brightness == other.brightness &&
           controlData == other.controlData && label == other.label;
}

Malformed decode(const std::uint8_t* data, std::size_t size, Packet& out) {
    out.displays.clear();
    if (size > maxPacket) return Malformed::Oversized;
    if (size < headerSize) return Malformed::Short;
    if (static_cast<std::size_t>(read16(data)) + 2 != size) return Malformed::ByteCount;
    if (data[2] != 0) return Malformed::Version;
    const bool unicode = (data[3] & unicodeFlag) != 0;
    out.screenControl = (data[3] & screenControlFlag) != 0;
    out.screen = read16(data + 4);
    if (out.screenControl) return Malformed::None;  // nothing defined in it yet
    std::size_t at = headerSize;
    while (at < size) {
        if (size - at < messageHead) return Malformed::PastEnd;
        Display display;
        display.index = read16(data + at);
        const std::uint16_t control = read16(data + at + 2);
        const std::size_t length = read16(data + at + 4);
        at += messageHead;
        if (length > size - at) return Malformed::PastEnd;
        display.right = control & 3;
        display.text = (control >> 2) & 3;
        display.left = (control >> 4) & 3;
        display.brightness = (control >> 6) & 3;
        display.controlData = (control & controlDataBit) != 0;
        if (!display.controlData) {
            if (unicode) {
                if (length % 2 != 0) return Malformed::OddUnicode;
                display.label = fromUtf16(data + at, length);
            } else {
                display.label.assign(reinterpret_cast<const char*>(data + at), length);
            }
        }
        at += length;
        out.displays.push_back(std::move(display));
    }
    return Malformed::None;
}

std::uint16_t controlWord(std::uint8_t right, std::uint8_t text, std::uint8_t left,
                          std::uint8_t brightness) {
    return static_cast<std::uint16_t>((right & 3) | ((text & 3) << 2) | ((left & 3) << 4) |
                                      ((brightness & 3) << 6));
}

Message messageOf(const Display& display) {
    Message message;
    message.index = display.index;
    message.control = static_cast<std::uint16_t>(
        controlWord(display.right, display.text, display.left, display.brightness) |
        (display.controlData ? controlDataBit : 0));
    message.label = display.label;
    return message;
}

bool needsUnicode(std::string_view label) {
    for (const char c : label) {
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    }
    return false;
}

std::size_t encodedSize(std::string_view label, bool unicode) {
    return messageHead + (unicode ? 2 * toUtf16(label).size() : label.size());
}

std::vector<std::uint8_t> encodePacket(std::uint16_t screen, const std::vector<Display>& displays) {
    bool unicode = false;
    for (const Display& display : displays) unicode = unicode || needsUnicode(display.label);
    PacketBuffer out;
    startPacket(out, screen, unicode);
    for (const Display& display : displays) {
        if (out.size + messageHead > maxPacket) break;  // the caller's displays did not fit
        appendMessage(out, messageOf(display), unicode, maxPacket - out.size - messageHead);
    }
    std::vector<std::vector<std::uint8_t>> packets;
    finishPacket(out, packets);
    return std::move(packets.front());
}

void encode(std::uint16_t screen, const std::vector<Message>& messages,
            std::vector<std::vector<std::uint8_t>>& packets) {
    // ASCII and UTF-16 labels go in packets of their own kind, so that one
    // accented label does not double the size of every other.
    PacketBuffer current[2];
    for (const Message& message : messages) {
        const bool unicode = needsUnicode(message.label);
        PacketBuffer& packet = current[unicode ? 1 : 0];
        const std::size_t size =
            std::min(encodedSize(message.label, unicode), maxPacket - headerSize);
        if (!packet.empty() && packet.size + size > maxPacket) finishPacket(packet, packets);
        if (packet.empty()) startPacket(packet, screen, unicode);
        appendMessage(packet, message, unicode, maxPacket - headerSize - messageHead);
    }
    for (auto& packet : current) {
        if (!packet.empty()) finishPacket(packet, packets);
    }
}

void encode(std::uint16_t screen, const std::vector<Display>& displays,
            std::vector<std::vector<std::uint8_t>>& packets) {
    std::vector<Message> messages;
    messages.reserve(displays.size());
    for (const Display& display : displays) messages.push_back(messageOf(display));
    encode(screen, messages, packets);
}

void frame(const std::vector<std::uint8_t>& packet, std::vector<std::uint8_t>& out) {
    out.push_back(dle);
    out.push_back(stx);
    for (const std::uint8_t byte : packet) {
        out.push_back(byte);
        if (byte == dle) out.push_back(dle);
    }
}

// ---- the stream -------------------------------------------------------------

void Deframer::reset() {
    state_ = State::Hunting;
    buffer_.clear();
    complete_ = false;
    inGarbage_ = false;
}

Malformed Deframer::store(std::uint8_t byte) {
    buffer_.push_back(byte);
    if (buffer_.size() < 2) return Malformed::None;
    const std::size_t needed = static_cast<std::size_t>(read16(buffer_.data())) + 2;
    if (needed > maxPacket) {
        buffer_.clear();
        state_ = State::Hunting;
        inGarbage_ = true;  // the rest of this frame is not reported again
        return Malformed::Oversized;
    }
    if (buffer_.size() == needed) {
        complete_ = true;
        state_ = State::Hunting;
        inGarbage_ = false;
    }
    return Malformed::None;
}

Malformed Deframer::take(std::uint8_t byte) {
    switch (state_) {
        case State::Hunting:
            if (byte == dle) {
                state_ = State::HuntingDle;
                return Malformed::None;
            }
            if (inGarbage_) return Malformed::None;
            inGarbage_ = true;
            return Malformed::Garbage;
        case State::HuntingDle:
            if (byte == stx) {
                state_ = State::InFrame;
                buffer_.clear();
                return Malformed::None;
            }
            if (byte == dle) {
                // A stray DLE: the one after it may still start a frame.
                if (inGarbage_) return Malformed::None;
                inGarbage_ = true;
                return Malformed::Garbage;
            }
            state_ = State::Hunting;
            if (inGarbage_) return Malformed::None;
            inGarbage_ = true;
            return Malformed::Garbage;
        case State::InFrame:
            if (byte == dle) {
                state_ = State::InFrameDle;
                return Malformed::None;
            }
            return store(byte);
        case State::InFrameDle:
            if (byte == dle) {
                state_ = State::InFrame;
                return store(dle);
            }
            buffer_.clear();
            if (byte == stx) {
                // A new frame before this one was complete.
                state_ = State::InFrame;
                return Malformed::Short;
            }
            state_ = State::Hunting;
            inGarbage_ = true;
            return Malformed::Stuffing;
    }
    return Malformed::None;
}

}  // namespace tsl
}  // namespace vhost
