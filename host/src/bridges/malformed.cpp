// malformed.cpp - see malformed.h.
#include "bridges/malformed.h"

namespace vhost {
namespace tsl {

const char* describe(Malformed kind) {
    switch (kind) {
        case Malformed::None: return "no fault";
        case Malformed::Short: return "too short";
        case Malformed::ByteCount: return "byte count disagrees with the length received";
        case Malformed::Version: return "unknown version";
        case Malformed::PastEnd: return "a display message runs past the end";
        case Malformed::OddUnicode: return "UTF-16 text of an odd length";
        case Malformed::Stuffing: return "bad DLE stuffing";
        case Malformed::Oversized: return "longer than 2048 bytes";
        case Malformed::Garbage: return "bytes outside any DLE/STX frame";
        case Malformed::NotWholeMessages: return "length not a multiple of 18 bytes";
        case Malformed::HeaderByte: return "a header byte below 0x80";
        case Malformed::Address127: return "a header byte naming address 127";
        case Malformed::ControlBits: return "control bits 6-7 set";
        case Malformed::Stray: return "bytes before any header byte";
        case Malformed::kinds: break;
    }
    return "?";
}

}  // namespace tsl
}  // namespace vhost
