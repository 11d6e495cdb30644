// bridge_receiver.h - one [tsl_in] section on the facility's side.
//
// Each display message that changes something becomes a force of a GPI
// input or an info slot, exactly as a scenario's gpi/info step, and so
// reaches the components that registered it. Malformed packets are dropped
// whole, one warning per kind, the rest counted.
#ifndef VESK_HOST_BRIDGES_BRIDGE_RECEIVER_H
#define VESK_HOST_BRIDGES_BRIDGE_RECEIVER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "bridges/bridge_status.h"
#include "bridges/codec.h"
#include "bridges/tsl_config.h"
#include "facility/facility.h"
#include "facility/timeline.h"

namespace vhost {
namespace tsl {

class Receiver {
public:
    // GPI inputs, and apart from them info slots, that neither the
    // configuration nor a component knows and one [tsl_in] may bring into
    // being; a message for one more is not applied, but counted. This bounds
    // what a mixer (or anyone who can reach its port) makes the facility keep.
    static constexpr std::size_t maxUnknown = 256;

    Receiver(InConfig config, Timeline& timeline);

    const InConfig& config() const { return config_; }
    const ReceiverCodec& codec() const { return *config_.codec; }
    BridgeStatus& status() const { return *status_; }
    // The "tsl NAME stream" steps' stream.
    StreamReader& stream() { return *stream_; }

    // A packet was accepted: counted before it is applied.
    void accepted();
    // Forces what the messages change.
    void apply(Facility& facility, const std::vector<Heard>& heard);
    void dropped(Malformed kind);
    // The end of the run: what was refused or dropped.
    void report() const;

    std::uint64_t acceptedCount() const { return accepted_; }
    std::uint64_t droppedCount() const { return dropped_; }

    std::uint64_t seen = 0;  // status version last published

private:
    bool roomFor(Facility& facility, std::int32_t at, std::uint16_t index);

    InConfig config_;
    Timeline& timeline_;
    std::unique_ptr<BridgeStatus> status_;
    std::unique_ptr<StreamReader> stream_;
    std::uint64_t accepted_ = 0, dropped_ = 0;
    std::uint64_t byKind_[static_cast<int>(Malformed::kinds)] = {};
    bool broadcastSaid_ = false;
    std::size_t unknownMade_ = 0;  // inputs or slots brought into being
    std::uint64_t unknownRefused_ = 0;
};

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_BRIDGE_RECEIVER_H
