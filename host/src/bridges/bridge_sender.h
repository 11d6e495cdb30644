// bridge_sender.h - one [tsl_out] section on the facility's side.
//
// Every write to a slot of its device becomes a tally for the display at
// slot + offset; the tallies of one step are kept, newest per display, and
// leave together when the step ends, encoded by the section's protocol.
#ifndef VESK_HOST_BRIDGES_BRIDGE_SENDER_H
#define VESK_HOST_BRIDGES_BRIDGE_SENDER_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bridges/bridge_status.h"
#include "bridges/codec.h"
#include "bridges/tsl_config.h"
#include "facility/timeline.h"

namespace vhost {
namespace tsl {

class OutLinks;

class Sender {
public:
    Sender(OutConfig config, Timeline& timeline);

    const OutConfig& config() const { return config_; }
    const SenderCodec& codec() const { return *config_.codec; }
    BridgeStatus& status() const { return *status_; }

    // A write to a slot of its device: a tally level "0" to "3", or a warning.
    void slotChanged(std::int32_t slot, const std::string& text);
    // Encodes the step's tallies and hands the packets to `out` as link `link`.
    void flush(OutLinks& out, std::size_t link);

    // The newest level sent for `index`; false when nothing was.
    bool lastSent(std::uint16_t index, std::uint8_t& level) const;
    // The label configured for the display at `index`, or "".
    std::string_view label(std::uint16_t index) const;
    std::uint64_t packets() const { return packets_; }
    std::uint64_t messages() const { return messages_; }

    std::uint64_t seen = 0;  // status version last published

private:
    struct Change {
        std::uint16_t index;
        std::uint8_t level;
    };
    void say(const Packets& packets);

    OutConfig config_;
    Timeline& timeline_;
    std::unique_ptr<BridgeStatus> status_;
    // This step's changes, in order, newest per index; kept flat and reused,
    // as a cut may change every display at once.
    std::vector<Change> pending_;
    std::vector<std::uint32_t> pendingAt_;  // by index: position in pending_ + 1, or 0
    std::vector<std::uint8_t> sent_;        // by index: the newest level sent + 1, or 0
    std::vector<Tally> tallies_;            // the step's tallies, as they are encoded
    std::uint64_t packets_ = 0, messages_ = 0;
    bool replacedSaid_ = false;
};

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_BRIDGE_SENDER_H
