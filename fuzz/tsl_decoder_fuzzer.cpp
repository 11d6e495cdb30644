// TSL UMD 5.0 decoder on arbitrary bytes. The first byte chooses the mode:
// even, the rest is one datagram; odd, it is a TCP stream fed to the
// deframer in pieces whose sizes the byte also gives. Invariants: a packet
// that decodes re-encodes to the same indices and levels; every packet the
// deframer finds is whole (its byte count matches) and within 2048 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bridges/tsl_codec.h"

namespace {

using namespace vhost::tsl;

void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void checkDatagram(const std::uint8_t* data, std::size_t size) {
    Packet packet;
    if (decode(data, size, packet) != Malformed::None) return;
    if (size > maxPacket) broken("a packet over 2048 bytes was accepted");
    std::vector<std::vector<std::uint8_t>> again;
    encode(packet.screen, packet.displays, again);
    std::vector<Display> back;
    for (const auto& bytes : again) {
        if (bytes.size() > maxPacket) broken("encoded past the packet size");
        Packet decoded;
        if (decode(bytes.data(), bytes.size(), decoded) != Malformed::None) {
            broken("an encoded packet does not decode");
        }
        back.insert(back.end(), decoded.displays.begin(), decoded.displays.end());
    }
    if (back.size() != packet.displays.size()) broken("messages lost in re-encoding");
    // ASCII and UTF-16 labels may go in separate packets: compare as sets by position of kind.
    std::size_t matched = 0;
    for (const Display& original : packet.displays) {
        for (const Display& copy : back) {
            if (copy.index == original.index && copy.right == original.right &&
                copy.left == original.left && copy.text == original.text) {
                ++matched;
                break;
            }
        }
    }
    if (matched != packet.displays.size()) broken("levels changed in re-encoding");
}

void checkStream(const std::uint8_t* data, std::size_t size, std::size_t piece) {
    Deframer deframer;
    std::size_t found = 0;
    auto onPacket = [&](const std::uint8_t* bytes, std::size_t n) {
        if (n > maxPacket || n < 2) broken("the deframer gave a packet of a bad size");
        if (static_cast<std::size_t>(bytes[0] | (bytes[1] << 8)) + 2 != n) {
            broken("the deframer gave a packet whose byte count does not match");
        }
        checkDatagram(bytes, n);
        ++found;
    };
    auto onFault = [](Malformed kind) {
        if (kind == Malformed::None || kind == Malformed::kinds) broken("a fault of no kind");
    };
    for (std::size_t at = 0; at < size; at += piece) {
        deframer.feed(data + at, size - at < piece ? size - at : piece, onPacket, onFault);
    }
    deframer.end(onFault);
    // Each packet takes at least DLE, STX and its two-byte count.
    if (found > size / 4) broken("more packets than bytes allow");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if ((data[0] & 1) == 0) {
        checkDatagram(data + 1, size - 1);
    } else {
        checkStream(data + 1, size - 1, (data[0] >> 1) + 1);
    }
    return 0;
}
