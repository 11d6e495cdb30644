// bridges.cpp - see bridges.h; the scenario steps are in bridge_steps.cpp.
#include "bridges/bridges.h"

#include <algorithm>
#include <fstream>

#include "bridges/hex_bytes.h"
#include "bridges/tsl_links.h"
#include "front/json_text.h"
#include "text/host_parsers.h"

namespace vhost {
namespace tsl {

namespace {

nlohmann::json statusJson(const BridgeStatus& status) {
    const BridgeStatus::View view = status.view();
    nlohmann::json json = {{"name", utf8Text(view.name)},
                           {"direction", view.direction},
                           {"protocol", view.protocol},
                           {"version", view.version},
                           {"address", utf8Text(view.address)},
                           {"state", view.state},
                           {"packets_in", view.packetsIn},
                           {"packets_out", view.packetsOut},
                           {"last_error", utf8Text(view.lastError)}};
    if (view.direction == "in") {
        json["dropped"] = view.dropped;
        json["unknown_refused"] = view.unknownRefused;
        if (view.protocol == "tcp") {
            json["connections"] = view.connections;
            json["connections_refused"] = view.connectionsRefused;
            json["connections_closed"] = view.connectionsClosed;
        }
    }
    return json;
}

}  // namespace

Bridges::Bridges(Timeline& timeline) : timeline_(timeline) {}

Bridges::~Bridges() {
    stopServing();
    if (out_ != nullptr) out_->stop(0);
}

bool Bridges::configure(const std::string& configPath, std::vector<std::string>& errors) {
    std::ifstream in(configPath, std::ios::binary);
    BridgeConfig config = parseBridges(in, configPath, errors);
    if (!errors.empty()) return false;
    senders_.clear();
    receivers_.clear();
    sendersByDevice_.clear();
    out_ = std::make_unique<OutLinks>(notices_);
    for (OutConfig& out : config.outs) {
        auto sender = std::make_unique<Sender>(std::move(out), timeline_);
        out_->add(sender->config(), sender->status());
        sendersByDevice_.emplace_back(sender->config().device, senders_.size());
        senders_.push_back(std::move(sender));
    }
    std::sort(sendersByDevice_.begin(), sendersByDevice_.end());
    for (InConfig& in : config.ins) {
        receivers_.push_back(std::make_unique<Receiver>(std::move(in), timeline_));
    }
    return true;
}

void Bridges::attach(Facility& facility) {
    if (!any()) return;
    facility_ = &facility;
    observers_.add(facility.observer());
    observers_.add(this);
    facility.setObserver(&observers_);
    out_->start();
    sayNotices();
}

void Bridges::alsoTell(FacilityObserver* observer) {
    if (facility_ == nullptr) return;
    observers_.remove(this);
    observers_.add(observer);
    observers_.add(this);
    facility_->setObserver(&observers_);
}

void Bridges::stopTelling(FacilityObserver* observer) { observers_.remove(observer); }

// ---- out ----------------------------------------------------------------------

void Bridges::slotChanged(std::int32_t device, std::int32_t slot, const std::string& text) {
    auto it = std::lower_bound(sendersByDevice_.begin(), sendersByDevice_.end(),
                               std::make_pair(device, std::size_t(0)));
    for (; it != sendersByDevice_.end() && it->first == device; ++it) {
        senders_[it->second]->slotChanged(slot, text);
    }
}

void Bridges::stepEnded() {
    if (hold_ == 0) flushAll();
    if (notices_.pending()) sayNotices();
}

void Bridges::flushAll() {
    for (std::size_t i = 0; i < senders_.size(); ++i) senders_[i]->flush(*out_, i);
}

// ---- in -----------------------------------------------------------------------

void Bridges::receive(std::size_t number, const std::uint8_t* data, std::size_t size) {
    std::vector<Heard> heard;
    const Malformed fault = receivers_[number]->codec().decode(data, size, heard);
    receive(number, data, size, heard, fault);
}

void Bridges::receive(std::size_t number, const std::uint8_t* data, std::size_t size,
                      const std::vector<Heard>& heard, Malformed fault) {
    Receiver& receiver = *receivers_[number];
    if (fault != Malformed::None) {
        dropped(number, fault);
        return;
    }
    receiver.accepted();
    const bool wanted = timeline_.wanted();  // asked once: the answer may count the event
    if (!wanted && !receiveWrapper_) {
        apply(receiver, heard);
        return;
    }
    // The text after "received: " is the scenario step that feeds the same packet.
    const std::string step = "tsl " + receiver.config().name + " hex " + toHex(data, size);
    if (wanted) timeline_.event(EventKind::Host, "received: " + step);
    if (receiveWrapper_) {
        receiveWrapper_(step, [&] { apply(receiver, heard); });
    } else {
        apply(receiver, heard);
    }
}

// All messages of one packet are one step: their writes leave together.
void Bridges::apply(Receiver& receiver, const std::vector<Heard>& heard) {
    if (facility_ == nullptr || heard.empty()) return;
    const Facility::DiagnosticsHeld held(*facility_);
    ++hold_;
    receiver.apply(*facility_, heard);
    if (--hold_ == 0) flushAll();
}

void Bridges::dropped(std::size_t number, Malformed kind) { receivers_[number]->dropped(kind); }

// ---- notices, state ---------------------------------------------------------------

void Bridges::sayNotices() {
    for (const std::string& text : notices_.take()) timeline_.event(EventKind::Host, text);
}

nlohmann::json Bridges::state() const {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& receiver : receivers_) list.push_back(statusJson(receiver->status()));
    for (const auto& sender : senders_) list.push_back(statusJson(sender->status()));
    return list;
}

void Bridges::setPublisher(std::function<void(const nlohmann::json&)> publish,
                           std::function<void()> changed) {
    publish_ = std::move(publish);
    changed_ = std::move(changed);
}

// Published now when nobody asks to be told, else when asked.
void Bridges::tellChanged() {
    if (changed_) {
        changed_();
    } else {
        publishChanges();
    }
}

void Bridges::publishChanges() {
    auto publish = [this](const BridgeStatus& status, std::uint64_t& seen) {
        if (!status.changedSince(seen) || !publish_) return;
        nlohmann::json event = statusJson(status);
        event["type"] = "bridge";
        publish_(event);
    };
    for (auto& receiver : receivers_) publish(receiver->status(), receiver->seen);
    for (auto& sender : senders_) publish(sender->status(), sender->seen);
}

// ---- real time ------------------------------------------------------------------

bool Bridges::serve(FacilityHandoff::Post post, std::ostream& log) {
    if (!any() || in_ != nullptr) return true;
    handoff_ = std::make_unique<FacilityHandoff>(std::move(post));
    const auto answerWithin = std::chrono::milliseconds(5000);
    in_ = std::make_unique<InLinks>(
        notices_,
        [this, answerWithin](std::size_t link, Packets& packets, std::vector<Malformed>& faults) {
            // Decoded here, on the listener's thread: the facility's only applies.
            if (decoded_.size() < packets.size()) decoded_.resize(packets.size());
            decodeFaults_.resize(packets.size());
            const ReceiverCodec& codec = receivers_[link]->codec();
            for (std::size_t i = 0; i < packets.size(); ++i) {
                decodeFaults_[i] = codec.decode(packets[i].data(), packets[i].size(), decoded_[i]);
            }
            return handoff_->call(
                [&] {
                    for (std::size_t i = 0; i < packets.size(); ++i) {
                        receive(link, packets[i].data(), packets[i].size(), decoded_[i],
                                decodeFaults_[i]);
                    }
                    for (const Malformed fault : faults) dropped(link, fault);
                    tellChanged();
                },
                answerWithin);
        },
        [this, answerWithin] {
            handoff_->call(
                [this] {
                    sayNotices();
                    tellChanged();
                },
                answerWithin);
        });
    for (auto& receiver : receivers_) in_->add(receiver->config(), receiver->status());
    const bool listening = in_->start();
    for (const std::string& text : notices_.take()) {
        log << "vesk-host: " << text << std::endl;
        timeline_.event(listening ? EventKind::Host : EventKind::Error, text);
    }
    return listening;
}

void Bridges::stopServing() {
    if (in_ == nullptr) return;
    handoff_->close();  // a listener waiting for the facility gives up
    in_->stop();
    in_.reset();
    handoff_.reset();
    for (auto& receiver : receivers_) receiver->status().setState("disconnected");
}

void Bridges::finish() {
    if (finished_ || !any()) return;
    finished_ = true;
    stopServing();
    flushAll();
    if (out_ != nullptr) out_->stop(500);
    sayNotices();
    for (const auto& receiver : receivers_) receiver->report();
}

}  // namespace tsl
}  // namespace vhost
