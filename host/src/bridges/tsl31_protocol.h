// tsl31_protocol.h - TSL UMD 3.1 as a bridge protocol: its codec
// (tsl31_codec.h) and the settings of its own.
//
//   [tsl_out.NAME]  (none: level 1 lights tally 1, 2 tally 2, 3 both)
//   [tsl_in.NAME]   tally = 1   the tally (1-4) that closes the GPI input or
//                               sets the info slot (word.0 / word.1)
#ifndef VESK_HOST_BRIDGES_TSL31_PROTOCOL_H
#define VESK_HOST_BRIDGES_TSL31_PROTOCOL_H

#include <memory>

#include "bridges/codec.h"

namespace vhost {
namespace tsl {

std::unique_ptr<SenderCodec> makeTsl31Sender();
std::unique_ptr<ReceiverCodec> makeTsl31Receiver();

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_TSL31_PROTOCOL_H
