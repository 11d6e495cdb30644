// tsl31_codec.cpp - see tsl31_codec.h.
#include "bridges/tsl31_codec.h"

namespace vhost {
namespace tsl {
namespace v31 {

namespace {

const std::uint8_t addressMask = 0x7F;
const std::uint8_t talliesMask = 0x0F;
const std::uint8_t brightnessShift = 4;
const std::uint8_t reservedBits = 0xC0;
const std::uint8_t noDisplay = 0xFF;  // the header of address 127
const char replacement = '?';

bool printable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// Calls `put` with each character of `label` as it is sent, at most 16.
template <typename Put>
void eachShown(std::string_view label, Put put) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < label.size() && count < labelSize; ++count) {
        const auto c = static_cast<unsigned char>(label[i++]);
        if (printable(c)) {
            put(static_cast<char>(c), false);
            continue;
        }
        // One replacement for a whole UTF-8 sequence.
        if (c >= 0xC0) {
            while (i < label.size() && (static_cast<unsigned char>(label[i]) & 0xC0) == 0x80) ++i;
        }
        put(replacement, true);
    }
    for (; count < labelSize; ++count) put(' ', false);
}

}  // namespace

bool Message::operator==(const Message& other) const {
    return address == other.address && tallies == other.tallies &&
           brightness == other.brightness && label == other.label;
}

Malformed check(const std::uint8_t* message) {
    if (message[0] < headerBase) return Malformed::HeaderByte;
    if (message[0] == noDisplay) return Malformed::Address127;
    if ((message[1] & reservedBits) != 0) return Malformed::ControlBits;
    return Malformed::None;
}

Malformed decode(const std::uint8_t* data, std::size_t size, std::vector<Message>& out) {
    out.clear();
    if (size == 0 || size % messageSize != 0) return Malformed::NotWholeMessages;
    for (std::size_t at = 0; at < size; at += messageSize) {
        const Malformed fault = check(data + at);
        if (fault != Malformed::None) return fault;
        Message message;
        message.address = data[at] & addressMask;
        message.tallies = data[at + 1] & talliesMask;
        message.brightness = static_cast<std::uint8_t>((data[at + 1] >> brightnessShift) & 3);
        message.label.assign(reinterpret_cast<const char*>(data + at + 2), labelSize);
        out.push_back(std::move(message));
    }
    return Malformed::None;
}

void encode(std::uint8_t address, std::uint8_t tallies, std::uint8_t brightness,
            std::string_view label, std::vector<std::uint8_t>& out) {
    out.push_back(static_cast<std::uint8_t>(headerBase + (address & addressMask)));
    out.push_back(static_cast<std::uint8_t>((tallies & talliesMask) |
                                            ((brightness & 3) << brightnessShift)));
    eachShown(label, [&](char c, bool) { out.push_back(static_cast<std::uint8_t>(c)); });
}

std::string shownLabel(std::string_view label) {
    std::string shown;
    shown.reserve(labelSize);
    eachShown(label, [&](char c, bool) { shown += c; });
    return shown;
}

bool replacesCharacters(std::string_view label) {
    bool replaced = false;
    eachShown(label, [&](char, bool was) { replaced = replaced || was; });
    return replaced;
}

// ---- the stream -------------------------------------------------------------

void Splitter::reset() {
    filled_ = 0;
    whole_.clear();
    inStray_ = false;
}

Malformed Splitter::take(std::uint8_t byte) {
    if (byte >= headerBase) {
        const bool cut = filled_ != 0;
        message_[0] = byte;
        filled_ = 1;
        inStray_ = false;
        return cut ? Malformed::Short : Malformed::None;
    }
    if (filled_ == 0) {
        if (inStray_) return Malformed::None;
        inStray_ = true;
        return Malformed::Stray;
    }
    message_[filled_++] = byte;
    if (filled_ < messageSize) return Malformed::None;
    filled_ = 0;
    const Malformed fault = check(message_);
    if (fault == Malformed::None) whole_.insert(whole_.end(), message_, message_ + messageSize);
    return fault;
}

}  // namespace v31
}  // namespace tsl
}  // namespace vhost
