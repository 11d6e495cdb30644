// bridge_receiver.cpp - see bridge_receiver.h.
#include "bridges/bridge_receiver.h"

#include <climits>

namespace vhost {
namespace tsl {

namespace {

template <typename ByDevice>
bool present(const ByDevice& byDevice, std::int32_t device, std::int32_t slot) {
    const auto found = byDevice.find(device);
    return found != byDevice.end() && found->second.count(slot) > 0;
}

}  // namespace

Receiver::Receiver(InConfig config, Timeline& timeline)
    : config_(std::move(config)), timeline_(timeline),
      status_(std::make_unique<BridgeStatus>(config_.name, false, protocolName(config_.protocol),
                                             endpointText(config_.address, config_.port),
                                             config_.codec->version())),
      stream_(config_.codec->streamReader()) {}

void Receiver::accepted() {
    ++accepted_;
    status_->countIn();
}

void Receiver::apply(Facility& facility, const std::vector<Heard>& heard) {
    const std::uint8_t closing = codec().closingLevel();
    for (const Heard& message : heard) {
        if (message.everyone) {
            if (!broadcastSaid_) {
                broadcastSaid_ = true;
                timeline_.event(EventKind::Warning,
                                "tsl " + config_.name +
                                    ": a message for every display (index 65535) is ignored; "
                                    "the mixer should address each display");
            }
            continue;
        }
        const std::int64_t target = static_cast<std::int64_t>(message.index) + config_.offset;
        if (target < INT32_MIN || target > INT32_MAX) continue;
        const auto at = static_cast<std::int32_t>(target);
        const std::uint8_t level = message.level;
        if (config_.toGpi) {
            const std::int32_t state = level != 0 && (closing == 0 || level == closing) ? 1 : 0;
            if (facility.gpiState(config_.device, at) != state &&
                roomFor(facility, at, message.index)) {
                facility.forceGpi(config_.device, at, state);
            }
        } else {
            const std::string text =
                config_.worded[level] ? config_.words[level] : std::string(1, char('0' + level));
            if (facility.infoText(config_.device, at) != text &&
                roomFor(facility, at, message.index)) {
                facility.forceInfo(config_.device, at, text);
            }
        }
    }
}

// An input or slot that neither the configuration nor a component knows is
// brought into being by forcing it, up to maxUnknown of them.
bool Receiver::roomFor(Facility& facility, std::int32_t at, std::uint16_t index) {
    const Driver driver = config_.toGpi ? Driver::Gpi : Driver::Info;
    const Environment& env = facility.environment();
    // A component's input first: the routing table is flat, the environment a tree.
    if (facility.routing().registered(driver, config_.device, at) ||
        (config_.toGpi ? present(env.gpi, config_.device, at)
                       : present(env.info, config_.device, at))) {
        return true;
    }
    if (unknownMade_ < maxUnknown) {
        ++unknownMade_;
        return true;
    }
    ++unknownRefused_;
    status_->countUnknownRefused();
    const std::string what = std::string(config_.toGpi ? "GPI input " : "info slot ") +
                             std::to_string(config_.device) + "." + std::to_string(at);
    if (unknownRefused_ == 1) {
        timeline_.event(EventKind::Warning,
                        "tsl " + config_.name + ": display " + std::to_string(index) +
                            " is not applied: " + what +
                            " is known neither to the configuration nor to a component, and "
                            "this mixer has already made " +
                            std::to_string(maxUnknown) +
                            " such; check the mixer's display indexes and the bridge's offset "
                            "(more are only counted)");
    }
    status_->setError(std::to_string(unknownRefused_) +
                      " message(s) for unknown inputs or slots not applied (last: " + what + ")");
    return false;
}

void Receiver::dropped(Malformed kind) {
    ++dropped_;
    status_->countDropped();
    std::uint64_t& count = byKind_[static_cast<int>(kind)];
    if (count++ == 0) {
        timeline_.event(EventKind::Warning, "tsl " + config_.name + ": dropped a packet: " +
                                                describe(kind) +
                                                " (more of this kind are only counted)");
    }
    status_->setError(describe(kind));
}

void Receiver::report() const {
    if (unknownRefused_ != 0) {
        timeline_.event(EventKind::Host, "tsl " + config_.name + ": " +
                                             std::to_string(unknownRefused_) +
                                             " message(s) for inputs or slots beyond the " +
                                             std::to_string(maxUnknown) +
                                             " unknown ones it made were not applied");
    }
    if (dropped_ == 0) return;
    std::string text = "tsl " + config_.name + ": dropped " + std::to_string(dropped_) +
                       " malformed packet(s):";
    bool first = true;
    for (int kind = 1; kind < static_cast<int>(Malformed::kinds); ++kind) {
        if (byKind_[kind] == 0) continue;
        text += (first ? " " : ", ") + std::string(describe(static_cast<Malformed>(kind))) + " " +
                std::to_string(byKind_[kind]);
        first = false;
    }
    timeline_.event(EventKind::Host, text);
}

}  // namespace tsl
}  // namespace vhost
