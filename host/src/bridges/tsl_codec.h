// tsl_codec.h - TSL UMD 5.0 packets: bytes <-> display messages.
//
// A packet (all numbers little-endian):
//   PBC     u16   bytes that follow this field
//   VER     u8    minor version, 0
//   FLAGS   u8    bit 0: texts are UTF-16LE; bit 1: screen control data
//   SCREEN  u16   0xFFFF addresses every screen
//   then display messages to the end of the packet:
//   INDEX   u16   0xFFFF addresses every display
//   CONTROL u16   bits 0-1 right lamp, 2-3 text lamp, 4-5 left lamp,
//                 6-7 brightness; bit 15: control data instead of a text
//   LENGTH  u16   bytes of text (or control data) that follow
//   TEXT
// A packet is at most 2048 bytes. Over TCP each packet is preceded by
// DLE STX (0xFE 0x02), and every 0xFE inside the packet is sent twice.
//
// Everything here is pure: no sockets, no facility.
#ifndef VESK_HOST_BRIDGES_TSL_CODEC_H
#define VESK_HOST_BRIDGES_TSL_CODEC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bridges/hex_bytes.h"
#include "bridges/malformed.h"

namespace vhost {
namespace tsl {

const std::size_t maxPacket = 2048;
const std::size_t headerSize = 6;   // PBC, VER, FLAGS, SCREEN
const std::size_t messageHead = 6;  // INDEX, CONTROL, LENGTH
const std::uint16_t everyone = 0xFFFF;
const std::uint8_t dle = 0xFE;
const std::uint8_t stx = 0x02;

struct Display {
    std::uint16_t index = 0;
    std::uint8_t right = 0;  // lamp levels: 0 off, 1 red, 2 green, 3 amber
    std::uint8_t text = 0;
    std::uint8_t left = 0;
    std::uint8_t brightness = 3;
    bool controlData = false;  // carries control data, not a text: no display change
    std::string label;         // UTF-8 (converted from UTF-16LE when the packet says so)

    bool operator==(const Display& other) const;
};

struct Packet {
    std::uint16_t screen = 0;
    bool screenControl = false;  // screen control data rather than display messages
    std::vector<Display> displays;
};


// Decodes one whole packet. On anything malformed returns its kind and
// leaves `out` in an unspecified state: nothing of it is to be used.
Malformed decode(const std::uint8_t* data, std::size_t size, Packet& out);

// One display message as it is encoded: the lamps already in CONTROL's
// bits, the label borrowed from whoever keeps it.
struct Message {
    std::uint16_t index = 0;
    std::uint16_t control = 0;
    std::string_view label;
};
std::uint16_t controlWord(std::uint8_t right, std::uint8_t text, std::uint8_t left,
                          std::uint8_t brightness = 3);
Message messageOf(const Display& display);

// The bytes of one display message; true when the label needs UTF-16.
std::size_t encodedSize(std::string_view label, bool unicode);
bool needsUnicode(std::string_view label);

// Encodes the messages into as few packets as fit in maxPacket each, in
// order, appending each packet to `packets`. A label too long for one packet
// is cut.
void encode(std::uint16_t screen, const std::vector<Message>& messages,
            std::vector<std::vector<std::uint8_t>>& packets);
void encode(std::uint16_t screen, const std::vector<Display>& displays,
            std::vector<std::vector<std::uint8_t>>& packets);
// One packet holding exactly these displays; they must fit.
std::vector<std::uint8_t> encodePacket(std::uint16_t screen, const std::vector<Display>& displays);

// DLE STX and the stuffed packet, appended to `out`.
void frame(const std::vector<std::uint8_t>& packet, std::vector<std::uint8_t>& out);

// Takes the bytes of a TCP stream in pieces of any size and finds the
// packets in it. Memory stays bounded by one packet. Outside a frame every
// DLE STX starts one, whatever came before it (a stray DLE included).
class Deframer {
public:
    template <typename OnPacket, typename OnMalformed>
    void feed(const std::uint8_t* data, std::size_t size, OnPacket&& onPacket,
              OnMalformed&& onMalformed) {
        for (std::size_t i = 0; i < size; ++i) {
            const Malformed result = take(data[i]);
            if (complete_) {
                complete_ = false;
                onPacket(buffer_.data(), buffer_.size());
                buffer_.clear();
            } else if (result != Malformed::None) {
                onMalformed(result);
            }
        }
    }
    // The stream ended: a frame cut off is reported as short.
    template <typename OnMalformed>
    void end(OnMalformed&& onMalformed) {
        if (state_ == State::InFrame || state_ == State::InFrameDle) onMalformed(Malformed::Short);
        reset();
    }
    void reset();
    // Inside a frame: its DLE STX was read, its last byte not yet.
    bool inFrame() const { return state_ == State::InFrame || state_ == State::InFrameDle; }

private:
    enum class State { Hunting, HuntingDle, InFrame, InFrameDle };
    // One byte of the stream: a kind when it made a frame (or the bytes
    // before it) be dropped; complete_ is set when it ended a packet.
    Malformed take(std::uint8_t byte);
    Malformed store(std::uint8_t byte);

    State state_ = State::Hunting;
    std::vector<std::uint8_t> buffer_;
    bool complete_ = false;
    bool inGarbage_ = false;  // the junk being skipped was reported already
};

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_TSL_CODEC_H
