// TSL UMD 3.1 decoder on arbitrary bytes. The first byte chooses the mode:
// even, the rest is one datagram; odd, it is a TCP stream fed to the
// splitter in pieces whose sizes the byte also gives. Invariants: a
// datagram that decodes is whole messages, and re-encodes to the same
// header and control bytes (and the same text where it was printable);
// every packet the splitter finds is whole messages that decode, and never
// more bytes than were fed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bridges/tsl31_codec.h"

namespace {

using namespace vhost::tsl;

void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

bool printable(const std::string& text) {
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

void checkDatagram(const std::uint8_t* data, std::size_t size) {
    std::vector<v31::Message> messages;
    if (v31::decode(data, size, messages) != Malformed::None) return;
    if (size % v31::messageSize != 0 || messages.size() != size / v31::messageSize) {
        broken("a datagram of partial messages was accepted");
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const v31::Message& message = messages[i];
        if (message.address > v31::lastAddress) broken("an address above 126 was accepted");
        std::vector<std::uint8_t> again;
        v31::encode(message.address, message.tallies, message.brightness, message.label, again);
        if (again.size() != v31::messageSize) broken("a message encoded to other than 18 bytes");
        const std::uint8_t* original = data + i * v31::messageSize;
        if (again[0] != original[0] || again[1] != original[1]) {
            broken("header or control changed in re-encoding");
        }
        if (printable(message.label) &&
            std::vector<std::uint8_t>(original, original + v31::messageSize) != again) {
            broken("a printable text changed in re-encoding");
        }
    }
}

void checkStream(const std::uint8_t* data, std::size_t size, std::size_t piece) {
    v31::Splitter splitter;
    std::size_t bytesOut = 0;
    auto onPacket = [&](const std::uint8_t* bytes, std::size_t n) {
        std::vector<v31::Message> messages;
        if (v31::decode(bytes, n, messages) != Malformed::None) {
            broken("the splitter gave a packet that does not decode");
        }
        bytesOut += n;
    };
    auto onFault = [](Malformed kind) {
        if (kind == Malformed::None || kind == Malformed::kinds) broken("a fault of no kind");
    };
    for (std::size_t at = 0; at < size; at += piece) {
        splitter.feed(data + at, size - at < piece ? size - at : piece, onPacket, onFault);
    }
    splitter.end(onFault);
    if (bytesOut > size) broken("more bytes out than in");
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
