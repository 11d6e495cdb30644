// tsl50_protocol.h - TSL UMD 5.0 as a bridge protocol: its codec
// (tsl_codec.h) and the settings of its own.
//
//   [tsl_out.NAME]  screen = 0               the screen of the packets
//                   lamps = right left text  the lamps that carry the level
//   [tsl_in.NAME]   screen = any             or a number: others are ignored
//                   lamp = right             the lamp read: right, left or text
//                   level = any              GPI: closed on any level but 0, or on this one (1-3)
#ifndef VESK_HOST_BRIDGES_TSL50_PROTOCOL_H
#define VESK_HOST_BRIDGES_TSL50_PROTOCOL_H

#include <memory>

#include "bridges/codec.h"

namespace vhost {
namespace tsl {

std::unique_ptr<SenderCodec> makeTsl50Sender();
std::unique_ptr<ReceiverCodec> makeTsl50Receiver();

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_TSL50_PROTOCOL_H
