// malformed.h - why a bridge dropped a packet, whatever its protocol.
//
// Every kind is reported once per bridge and then only counted, so the
// kinds of both TSL versions share one list.
#ifndef VESK_HOST_BRIDGES_MALFORMED_H
#define VESK_HOST_BRIDGES_MALFORMED_H

namespace vhost {
namespace tsl {

enum class Malformed {
    None,
    // TSL UMD 5.0
    Short,          // shorter than a header, or a frame (or 3.1 message) cut off
    ByteCount,      // PBC disagrees with the length received
    Version,        // a version other than 0
    PastEnd,        // a display message runs past the end
    OddUnicode,     // UTF-16 text of an odd length
    Stuffing,       // DLE followed by something other than DLE or STX
    Oversized,      // more than 2048 bytes
    Garbage,        // bytes outside any frame (or 3.1 message) on a stream
    // TSL UMD 3.1
    NotWholeMessages,  // a length that is not a multiple of 18 bytes
    HeaderByte,        // a header byte below 0x80
    Address127,        // a header byte naming address 127
    ControlBits,       // bits 6-7 of the control byte set
    Stray,             // bytes before any header byte on a stream
    kinds
};
const char* describe(Malformed kind);

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_MALFORMED_H
