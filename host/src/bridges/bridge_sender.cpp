// bridge_sender.cpp - see bridge_sender.h.
#include "bridges/bridge_sender.h"

#include "bridges/tsl_links.h"
#include "text/host_parsers.h"

namespace vhost {
namespace tsl {

Sender::Sender(OutConfig config, Timeline& timeline)
    : config_(std::move(config)), timeline_(timeline),
      status_(std::make_unique<BridgeStatus>(config_.name, true, protocolName(config_.protocol),
                                             endpointText(config_.address, config_.port),
                                             config_.codec->version())) {}

std::string_view Sender::label(std::uint16_t index) const {
    if (config_.labels.empty()) return {};
    const auto label = config_.labels.find(static_cast<std::int32_t>(index - config_.offset));
    return label != config_.labels.end() ? std::string_view(label->second) : std::string_view();
}

bool Sender::lastSent(std::uint16_t index, std::uint8_t& level) const {
    if (index >= sent_.size() || sent_[index] == 0) return false;
    level = static_cast<std::uint8_t>(sent_[index] - 1);
    return true;
}

void Sender::slotChanged(std::int32_t slot, const std::string& text) {
    auto where = [&] {
        return "tsl " + config_.name + ": info " + std::to_string(config_.device) + "." +
               std::to_string(slot);
    };
    if (text.size() != 1 || text[0] < '0' || text[0] > '3') {
        timeline_.event(EventKind::Warning, where() + " = " + displayQuote(text) +
                                                " is not a tally level (0 to 3); not sent");
        return;
    }
    const std::int64_t index = static_cast<std::int64_t>(slot) + config_.offset;
    const std::uint16_t last = codec().lastIndex();
    if (index < 0 || index > last) {
        timeline_.event(EventKind::Warning,
                        where() + " is display index " + std::to_string(index) + ", outside 0 to " +
                            std::to_string(last) + "; not sent (check offset)");
        return;
    }
    const Change change{static_cast<std::uint16_t>(index), static_cast<std::uint8_t>(text[0] - '0')};
    if (pendingAt_.size() <= change.index) pendingAt_.resize(change.index + 1u, 0);
    std::uint32_t& at = pendingAt_[change.index];
    if (at != 0) {
        pending_[at - 1] = change;
    } else {
        pending_.push_back(change);
        at = static_cast<std::uint32_t>(pending_.size());
    }
}

void Sender::flush(OutLinks& out, std::size_t link) {
    if (pending_.empty()) return;
    tallies_.resize(pending_.size());
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        Tally& tally = tallies_[i];
        tally.index = pending_[i].index;
        tally.level = pending_[i].level;
        tally.label = label(tally.index);
        if (!replacedSaid_ && !tally.label.empty() && codec().replaces(tally.label)) {
            replacedSaid_ = true;
            timeline_.event(EventKind::Warning,
                            "tsl " + config_.name + ": the label of display " +
                                std::to_string(tally.index) + " (" + displayQuote(tally.label) +
                                ") has characters TSL " + codec().version() +
                                " cannot show; they are sent as " +
                                displayQuote(codec().shown(tally.label)) +
                                " (said once for this bridge)");
        }
    }
    Packets packets;
    codec().encode(tallies_, config_.batch, packets);
    if (timeline_.wanted()) say(packets);
    if (sent_.size() < pendingAt_.size()) sent_.resize(pendingAt_.size(), 0);
    for (const Change& change : pending_) {
        sent_[change.index] = static_cast<std::uint8_t>(change.level + 1);
        pendingAt_[change.index] = 0;
    }
    packets_ += packets.size();
    messages_ += pending_.size();
    // A TCP link keeps the newest tally of each display, to send it again
    // after a reconnect; a UDP link needs only the packets.
    std::vector<Tally> tallies;
    if (config_.protocol == Protocol::Tcp) tallies = tallies_;
    out.send(link, std::move(packets), std::move(tallies));
    pending_.clear();
}

// Only what the socket takes now is said to be sent.
void Sender::say(const Packets& packets) {
    const bool connected = status_->connected();
    const std::string doing =
        connected ? " sends"
        : config_.protocol == Protocol::Tcp
            ? " keeps for " + status_->address() + " (not connected; sent once it is):"
            : " does not send (" + status_->view().lastError + "):";
    for (const auto& bytes : packets) {
        timeline_.event(EventKind::Host, "tsl " + config_.name + doing + " " +
                                             codec().describe(bytes.data(), bytes.size()));
    }
}

}  // namespace tsl
}  // namespace vhost
