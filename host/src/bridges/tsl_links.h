// tsl_links.h - the sockets of the TSL bridges.
//
// Each side runs on a thread of its own (Boost.Asio), never on the
// facility's: OutLinks sends what the tally drivers hand it, InLinks
// listens for mixers and hands what arrives to the facility thread through
// a delivery function that waits for it to be run there.
#ifndef VESK_HOST_BRIDGES_TSL_LINKS_H
#define VESK_HOST_BRIDGES_TSL_LINKS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "bridges/bridge_status.h"
#include "bridges/codec.h"
#include "bridges/tsl_config.h"

namespace vhost {
namespace tsl {

class OutLinks {
public:
    explicit OutLinks(Notices& notices);
    ~OutLinks();
    OutLinks(const OutLinks&) = delete;
    OutLinks& operator=(const OutLinks&) = delete;

    // Before start(): one link per [tsl_out] section; returns its number.
    std::size_t add(const OutConfig& config, BridgeStatus& status);
    void start();
    // From the facility thread; returns at once. UDP sends each packet; TCP
    // frames them and writes them in one go, or, while the peer is away,
    // keeps only the newest tally per index (`tallies`, those the packets
    // carry) and sends those when it is back, so lamps catch up after a
    // reconnect.
    void send(std::size_t link, Packets packets, std::vector<Tally> tallies);
    // Sends what was handed over so far (waiting at most `grace`), then
    // closes every socket.
    void stop(int graceMs);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class InLinks {
public:
    // Runs on the listening thread; hands whole packets (and the stream
    // faults found between them) to the facility and returns once they
    // were handled there, or false when the facility no longer takes work.
    using Deliver = std::function<bool(std::size_t link,
                                       std::vector<std::vector<std::uint8_t>>& packets,
                                       std::vector<Malformed>& faults)>;
    InLinks(Notices& notices, Deliver deliver, std::function<void()> every100ms);
    ~InLinks();
    InLinks(const InLinks&) = delete;
    InLinks& operator=(const InLinks&) = delete;

    std::size_t add(const InConfig& config, BridgeStatus& status);
    // Binds every listener; one that cannot bind says why (and stays down).
    // False when any could not.
    bool start();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_TSL_LINKS_H
