// tsl_config.h - the TSL bridges an environment INI declares.
//
//   [tsl_out.NAME]            a tally driver: the slots of an info device go to displays
//   device = 12               the info device whose slots are sent
//   version = 5.0             5.0 (the default) or 3.1
//   protocol = udp            udp or tcp
//   address = 127.0.0.1       where the displays listen
//   port = 9100
//   offset = 0                display index = slot + offset
//   batch = on                off: one display message per packet
//   label.20 = CAM 1          the text sent with slot 20 (empty when none)
//
//   [tsl_in.NAME]             a mixer as a source
//   version = 5.0             5.0 (the default) or 3.1
//   protocol = udp            udp or tcp
//   address = 127.0.0.1       the address listened on (default loopback)
//   port = 9000               0: any free port (printed when listening)
//   gpi = 3                   either: GPI device 3, input = index + offset
//   info = 20                 or: info device 20, slot = index + offset, text =
//   word.1 = PROGRAM          the level read, or the word given for that level
//   offset = 0
//
// Each version adds settings of its own (tsl50_protocol.h, tsl31_protocol.h).
#ifndef VESK_HOST_BRIDGES_TSL_CONFIG_H
#define VESK_HOST_BRIDGES_TSL_CONFIG_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bridges/codec.h"

namespace vhost {
namespace tsl {

enum class Protocol { Udp, Tcp };
const char* protocolName(Protocol protocol);
// "address:port", an IPv6 address in brackets.
std::string endpointText(const std::string& address, unsigned port);

struct OutConfig {
    std::string name;
    std::int32_t device = 0;
    Protocol protocol = Protocol::Udp;
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
    std::int32_t offset = 0;
    bool batch = true;
    std::map<std::int32_t, std::string> labels;  // by slot
    std::shared_ptr<const SenderCodec> codec = makeSender(defaultVersion);
    // TCP: the wait before connecting again, doubling from the first to the
    // last; and the bytes that may wait for a peer that does not read
    // before only the newest level of each display is sent. Not settings
    // of the INI.
    int firstRetryMs = 100;
    int lastRetryMs = 5000;
    std::size_t maxBacklog = 1 << 20;
};

struct InConfig {
    std::string name;
    Protocol protocol = Protocol::Udp;
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
    bool toGpi = true;  // else to an info device
    std::int32_t device = 0;
    std::int32_t offset = 0;
    std::string words[4];
    bool worded[4] = {false, false, false, false};
    // TCP: at most this many mixers at once; a frame begun must end within
    // partialFrameMs or the connection is closed; when the listener is full,
    // a mixer that has sent no whole packet for idleMs gives its place to
    // the newcomer. Not settings of the INI.
    std::size_t maxClients = 8;
    int partialFrameMs = 2000;
    int idleMs = 10000;
    std::shared_ptr<const ReceiverCodec> codec = makeReceiver(defaultVersion);
};

struct BridgeConfig {
    std::vector<OutConfig> outs;
    std::vector<InConfig> ins;
    bool empty() const { return outs.empty() && ins.empty(); }
};

// Reads the [tsl_out.NAME] and [tsl_in.NAME] sections; other sections are
// skipped, but one that looks like a TSL section and is not one exactly
// ([TSL_IN.x], [tsl-out.x], [tsl]) is an error, so that a bridge is never
// silently missing. An address must be an IP address: no name is looked
// up. Errors are "file:line: message" texts.
BridgeConfig parseBridges(std::istream& in, const std::string& file,
                          std::vector<std::string>& errors);

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_TSL_CONFIG_H
