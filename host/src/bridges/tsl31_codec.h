// tsl31_codec.h - TSL UMD 3.1 display messages: bytes <-> messages.
//
// A message is 18 bytes:
//   HEADER   0x80 + address (0 to 126; 0xFF, address 127, is not a display)
//   CONTROL  bits 0-3 tallies 1 to 4, bits 4-5 brightness, bits 6-7 zero
//   DATA     16 bytes of printable ASCII, the display's text
// A UDP datagram carries one or more messages back to back; on TCP the
// messages follow each other in the stream.
//
// Everything here is pure: no sockets, no facility.
#ifndef VESK_HOST_BRIDGES_TSL31_CODEC_H
#define VESK_HOST_BRIDGES_TSL31_CODEC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bridges/malformed.h"

namespace vhost {
namespace tsl {
namespace v31 {

const std::size_t messageSize = 18;
const std::size_t labelSize = 16;
const std::uint8_t headerBase = 0x80;
const std::uint8_t lastAddress = 126;
const std::uint8_t fullBrightness = 3;

struct Message {
    std::uint8_t address = 0;
    std::uint8_t tallies = 0;  // bit 0 tally 1 ... bit 3 tally 4
    std::uint8_t brightness = fullBrightness;
    std::string label;         // the 16 bytes as received
    bool operator==(const Message& other) const;
};

// The fault of one message, if any.
Malformed check(const std::uint8_t* message);
// Decodes a datagram: whole messages only, every one of them sound, or
// the kind of the first fault (and nothing of `out` is to be used).
Malformed decode(const std::uint8_t* data, std::size_t size, std::vector<Message>& out);

// Appends one message. The label is cut or padded with spaces to 16
// characters; a character outside printable ASCII (a UTF-8 sequence counts
// as one) becomes '?'. `address` must be at most 126.
void encode(std::uint8_t address, std::uint8_t tallies, std::uint8_t brightness,
            std::string_view label, std::vector<std::uint8_t>& out);
// The 16 characters sent for `label`, and whether any had to be replaced.
std::string shownLabel(std::string_view label);
bool replacesCharacters(std::string_view label);

// Takes the bytes of a TCP stream in pieces of any size. A byte of 0x80 or
// more can only be a header (the control byte and the text stay below), so
// every one starts a message: one begun before it was cut off. The sound
// messages of one piece are handed over as one packet; a message with a
// fault is reported and left out. Memory stays bounded by one piece.
class Splitter {
public:
    template <typename OnPacket, typename OnMalformed>
    void feed(const std::uint8_t* data, std::size_t size, OnPacket&& onPacket,
              OnMalformed&& onMalformed) {
        for (std::size_t i = 0; i < size; ++i) {
            const Malformed fault = take(data[i]);
            if (fault != Malformed::None) onMalformed(fault);
        }
        if (!whole_.empty()) {
            onPacket(whole_.data(), whole_.size());
            whole_.clear();
        }
    }
    template <typename OnMalformed>
    void end(OnMalformed&& onMalformed) {
        if (inMessage()) onMalformed(Malformed::Short);
        reset();
    }
    void reset();
    bool inMessage() const { return filled_ != 0; }

private:
    Malformed take(std::uint8_t byte);

    std::uint8_t message_[messageSize] = {};
    std::size_t filled_ = 0;
    std::vector<std::uint8_t> whole_;  // this piece's sound messages
    bool inStray_ = false;             // the stray bytes being skipped were reported
};

}  // namespace v31
}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_TSL31_CODEC_H
