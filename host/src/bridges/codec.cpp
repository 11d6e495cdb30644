// codec.cpp - the protocols a section may name.
#include "bridges/codec.h"

#include "bridges/tsl31_protocol.h"
#include "bridges/tsl50_protocol.h"

namespace vhost {
namespace tsl {

std::unique_ptr<SenderCodec> makeSender(const std::string& version) {
    if (version == "5.0") return makeTsl50Sender();
    if (version == "3.1") return makeTsl31Sender();
    return nullptr;
}

std::unique_ptr<ReceiverCodec> makeReceiver(const std::string& version) {
    if (version == "5.0") return makeTsl50Receiver();
    if (version == "3.1") return makeTsl31Receiver();
    return nullptr;
}

}  // namespace tsl
}  // namespace vhost
