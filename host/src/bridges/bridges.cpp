// bridges.cpp - see bridges.h.
#include "bridges/bridges.h"

#include <algorithm>
#include <fstream>
#include <iostream>

#include "bridges/tsl_links.h"
#include "front/json_text.h"
#include "text/host_parsers.h"

namespace vhost {
namespace tsl {

namespace {

const std::uint16_t lastIndex = 0xFFFE;  // 0xFFFF addresses every display

std::string levelText(const Display& display) {
    return "right=" + std::to_string(display.right) + " left=" + std::to_string(display.left) +
           " text=" + std::to_string(display.text) + " label=" + displayQuote(display.label);
}

std::uint8_t lampLevel(const Display& display, Lamp lamp) {
    return lamp == Lamp::Right ? display.right : lamp == Lamp::Left ? display.left : display.text;
}

nlohmann::json statusJson(const BridgeStatus& status) {
    const BridgeStatus::View view = status.view();
    nlohmann::json json = {{"name", utf8Text(view.name)},
                           {"direction", view.direction},
                           {"protocol", view.protocol},
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

template <typename ByDevice>
bool present(const ByDevice& byDevice, std::int32_t device, std::int32_t slot) {
    const auto found = byDevice.find(device);
    return found != byDevice.end() && found->second.count(slot) > 0;
}

// "key=value" words; false (with `error`) on anything else.
bool fieldsOf(const std::string& text, std::map<std::string, std::string>& fields,
              std::string& error) {
    const auto words = splitWords(text, error);
    if (!words) return false;
    for (const std::string& word : *words) {
        const std::size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0) {
            error = "expected key=value, got '" + word + "'";
            return false;
        }
        fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return true;
}

bool numberField(const std::map<std::string, std::string>& fields, const std::string& key,
                 std::int32_t low, std::int32_t high, std::int32_t& out, std::string& error) {
    const auto it = fields.find(key);
    if (it == fields.end()) return true;
    const auto value = parseInt32(it->second);
    if (!value || *value < low || *value > high) {
        error = key + " must be a number from " + std::to_string(low) + " to " +
                std::to_string(high);
        return false;
    }
    out = *value;
    return true;
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
        Sender sender;
        sender.status = std::make_unique<BridgeStatus>(
            out.name, true, protocolName(out.protocol),
            endpointText(out.address, out.port));
        out_->add(out, *sender.status);
        sender.config = std::move(out);
        sendersByDevice_.emplace_back(sender.config.device, senders_.size());
        senders_.push_back(std::move(sender));
    }
    std::sort(sendersByDevice_.begin(), sendersByDevice_.end());
    for (InConfig& in : config.ins) {
        Receiver receiver;
        receiver.status = std::make_unique<BridgeStatus>(
            in.name, false, protocolName(in.protocol),
            endpointText(in.address, in.port));
        receiver.config = std::move(in);
        receivers_.push_back(std::move(receiver));
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

std::string_view Bridges::Sender::label(std::uint16_t index) const {
    if (config.labels.empty()) return {};
    const auto label = config.labels.find(static_cast<std::int32_t>(index - config.offset));
    return label != config.labels.end() ? std::string_view(label->second) : std::string_view();
}

Message Bridges::Sender::message(std::uint16_t index, std::uint8_t level) const {
    Message message;
    message.index = index;
    message.control = controlWord(config.right ? level : 0, config.text ? level : 0,
                                  config.left ? level : 0);
    message.label = label(index);
    return message;
}

Display Bridges::Sender::display(std::uint16_t index, std::uint8_t level) const {
    Display display;
    display.index = index;
    display.right = config.right ? level : 0;
    display.left = config.left ? level : 0;
    display.text = config.text ? level : 0;
    display.label = std::string(label(index));
    return display;
}

bool Bridges::Sender::lastSent(std::uint16_t index, Display& out) const {
    if (index >= sent.size() || sent[index] == 0) return false;
    out = display(index, static_cast<std::uint8_t>(sent[index] - 1));
    return true;
}

void Bridges::slotChanged(std::int32_t device, std::int32_t slot, const std::string& text) {
    auto it = std::lower_bound(sendersByDevice_.begin(), sendersByDevice_.end(),
                               std::make_pair(device, std::size_t(0)));
    for (; it != sendersByDevice_.end() && it->first == device; ++it) {
        Sender& sender = senders_[it->second];
        auto where = [&] {
            return "tsl " + sender.config.name + ": info " + std::to_string(device) + "." +
                   std::to_string(slot);
        };
        if (text.size() != 1 || text[0] < '0' || text[0] > '3') {
            timeline_.event(EventKind::Warning,
                            where() + " = " + displayQuote(text) +
                                " is not a tally level (0 to 3); not sent");
            continue;
        }
        const std::int64_t index = static_cast<std::int64_t>(slot) + sender.config.offset;
        if (index < 0 || index > lastIndex) {
            timeline_.event(EventKind::Warning,
                            where() + " is display index " + std::to_string(index) +
                                ", outside 0 to 65534; not sent (check offset)");
            continue;
        }
        const Sender::Change change{static_cast<std::uint16_t>(index),
                                    static_cast<std::uint8_t>(text[0] - '0')};
        if (sender.pendingAt.size() <= change.index) sender.pendingAt.resize(change.index + 1u, 0);
        std::uint32_t& at = sender.pendingAt[change.index];
        if (at != 0) {
            sender.pending[at - 1] = change;
        } else {
            sender.pending.push_back(change);
            at = static_cast<std::uint32_t>(sender.pending.size());
        }
    }
}

void Bridges::stepEnded() {
    if (hold_ == 0) flushAll();
    if (notices_.pending()) sayNotices();
}

void Bridges::flushAll() {
    for (std::size_t i = 0; i < senders_.size(); ++i) flush(i);
}

void Bridges::flush(std::size_t number) {
    Sender& sender = senders_[number];
    if (sender.pending.empty()) return;
    const OutConfig& config = sender.config;
    // The messages go straight from the changes into the packets.
    sender.messages.clear();
    for (const Sender::Change& change : sender.pending) {
        sender.messages.push_back(sender.message(change.index, change.level));
    }
    std::vector<std::vector<std::uint8_t>> packets;
    if (config.batch) {
        encode(config.screen, sender.messages, packets);
    } else {
        std::vector<Message> one(1);
        for (const Message& message : sender.messages) {
            one[0] = message;
            encode(config.screen, one, packets);
        }
    }
    if (timeline_.wanted()) {
        // Only what the socket takes now is said to be sent.
        const bool connected = sender.status->connected();
        const std::string doing =
            connected ? " sends"
            : config.protocol == Protocol::Tcp
                ? " keeps for " + sender.status->address() + " (not connected; sent once it is):"
                : " does not send (" + sender.status->view().lastError + "):";
        for (const auto& bytes : packets) {
            Packet packet;
            decode(bytes.data(), bytes.size(), packet);
            std::string text = "tsl " + config.name + doing;
            for (const Display& display : packet.displays) {
                text += (&display == &packet.displays.front() ? " " : "; ") + std::string("index ") +
                        std::to_string(display.index) + " " + levelText(display);
            }
            timeline_.event(EventKind::Host, text);
        }
    }
    if (sender.sent.size() < sender.pendingAt.size()) sender.sent.resize(sender.pendingAt.size(), 0);
    // A TCP link keeps the newest level of each display, to send it again
    // after a reconnect; a UDP link needs only the packets.
    std::vector<Display> displays;
    if (config.protocol == Protocol::Tcp) displays.reserve(sender.pending.size());
    for (const Sender::Change& change : sender.pending) {
        sender.sent[change.index] = static_cast<std::uint8_t>(change.level + 1);
        sender.pendingAt[change.index] = 0;
        if (config.protocol == Protocol::Tcp) {
            displays.push_back(sender.display(change.index, change.level));
        }
    }
    sender.packets += packets.size();
    sender.messagesSent += sender.pending.size();
    out_->send(number, std::move(packets), std::move(displays));
    sender.pending.clear();
}

// ---- in -----------------------------------------------------------------------

void Bridges::receive(std::size_t number, const std::uint8_t* data, std::size_t size) {
    Packet packet;
    const Malformed fault = decode(data, size, packet);
    receive(number, data, size, packet, fault);
}

void Bridges::receive(std::size_t number, const std::uint8_t* data, std::size_t size,
                      const Packet& packet, Malformed fault) {
    Receiver& receiver = receivers_[number];
    if (fault != Malformed::None) {
        dropped(number, fault);
        return;
    }
    ++receiver.accepted;
    receiver.status->countIn();
    const bool wanted = timeline_.wanted();  // asked once: the answer may count the event
    if (!wanted && !receiveWrapper_) {
        apply(receiver, packet);
        return;
    }
    // The text after "received: " is the scenario step that feeds the same packet.
    const std::string step = "tsl " + receiver.config.name + " hex " + toHex(data, size);
    if (wanted) timeline_.event(EventKind::Host, "received: " + step);
    if (receiveWrapper_) {
        receiveWrapper_(step, [&] { apply(receiver, packet); });
    } else {
        apply(receiver, packet);
    }
}

void Bridges::apply(Receiver& receiver, const Packet& packet) {
    const InConfig& config = receiver.config;
    if (packet.screenControl || facility_ == nullptr) return;
    if (!config.anyScreen && packet.screen != config.screen && packet.screen != everyone) return;
    const Facility::DiagnosticsHeld held(*facility_);
    ++hold_;
    for (const Display& display : packet.displays) {
        if (display.controlData) continue;
        if (display.index == everyone) {
            if (!receiver.broadcastSaid) {
                receiver.broadcastSaid = true;
                timeline_.event(EventKind::Warning,
                                "tsl " + config.name +
                                    ": a message for every display (index 65535) is ignored; "
                                    "the mixer should address each display");
            }
            continue;
        }
        const std::int64_t target = static_cast<std::int64_t>(display.index) + config.offset;
        if (target < INT32_MIN || target > INT32_MAX) continue;
        const auto at = static_cast<std::int32_t>(target);
        const std::uint8_t level = lampLevel(display, config.lamp);
        if (config.toGpi) {
            const std::int32_t state =
                level != 0 && (config.level == 0 || level == config.level) ? 1 : 0;
            if (facility_->gpiState(config.device, at) != state &&
                roomFor(receiver, at, display.index)) {
                facility_->forceGpi(config.device, at, state);
            }
        } else {
            const std::string text =
                config.worded[level] ? config.words[level] : std::string(1, char('0' + level));
            if (facility_->infoText(config.device, at) != text &&
                roomFor(receiver, at, display.index)) {
                facility_->forceInfo(config.device, at, text);
            }
        }
    }
    if (--hold_ == 0) flushAll();
}

// An input or slot that neither the configuration nor a component knows is
// brought into being by forcing it, up to maxUnknownPerListener of them.
bool Bridges::roomFor(Receiver& receiver, std::int32_t at, std::uint16_t index) {
    const InConfig& config = receiver.config;
    const Driver driver = config.toGpi ? Driver::Gpi : Driver::Info;
    const Environment& env = facility_->environment();
    // A component's input first: the routing table is flat, the environment a tree.
    if (facility_->routing().registered(driver, config.device, at) ||
        (config.toGpi ? present(env.gpi, config.device, at)
                      : present(env.info, config.device, at))) {
        return true;
    }
    if (receiver.unknownMade < maxUnknownPerListener) {
        ++receiver.unknownMade;
        return true;
    }
    ++receiver.unknownRefused;
    receiver.status->countUnknownRefused();
    const std::string what = std::string(config.toGpi ? "GPI input " : "info slot ") +
                             std::to_string(config.device) + "." + std::to_string(at);
    if (receiver.unknownRefused == 1) {
        timeline_.event(EventKind::Warning,
                        "tsl " + config.name + ": display " + std::to_string(index) +
                            " is not applied: " + what +
                            " is known neither to the configuration nor to a component, and "
                            "this mixer has already made " +
                            std::to_string(maxUnknownPerListener) +
                            " such; check the mixer's display indexes and the bridge's offset "
                            "(more are only counted)");
    }
    receiver.status->setError(std::to_string(receiver.unknownRefused) +
                              " message(s) for unknown inputs or slots not applied (last: " +
                              what + ")");
    return false;
}

void Bridges::dropped(std::size_t number, Malformed kind) {
    Receiver& receiver = receivers_[number];
    ++receiver.droppedCount;
    receiver.status->countDropped();
    std::uint64_t& count = receiver.byKind[static_cast<int>(kind)];
    if (count++ == 0) {
        timeline_.event(EventKind::Warning, "tsl " + receiver.config.name +
                                                ": dropped a packet: " + describe(kind) +
                                                " (more of this kind are only counted)");
    }
    receiver.status->setError(describe(kind));
}

// ---- notices, state ---------------------------------------------------------------

void Bridges::sayNotices() {
    for (const std::string& text : notices_.take()) timeline_.event(EventKind::Host, text);
}

nlohmann::json Bridges::state() const {
    nlohmann::json list = nlohmann::json::array();
    for (const Receiver& receiver : receivers_) list.push_back(statusJson(*receiver.status));
    for (const Sender& sender : senders_) list.push_back(statusJson(*sender.status));
    return list;
}

void Bridges::setPublisher(std::function<void(const nlohmann::json&)> publish) {
    publish_ = std::move(publish);
}

void Bridges::publishChanges() {
    auto publish = [this](const BridgeStatus& status, std::uint64_t& seen) {
        if (!status.changedSince(seen) || !publish_) return;
        nlohmann::json event = statusJson(status);
        event["type"] = "bridge";
        publish_(event);
    };
    for (Receiver& receiver : receivers_) publish(*receiver.status, receiver.seen);
    for (Sender& sender : senders_) publish(*sender.status, sender.seen);
}

bool Bridges::serve(FacilityHandoff::Post post, std::ostream& log) {
    if (!any() || in_ != nullptr) return true;
    handoff_ = std::make_unique<FacilityHandoff>(std::move(post));
    const auto answerWithin = std::chrono::milliseconds(5000);
    in_ = std::make_unique<InLinks>(
        notices_,
        [this, answerWithin](std::size_t link, std::vector<std::vector<std::uint8_t>>& packets,
                             std::vector<Malformed>& faults) {
            // Decoded here, on the listener's thread: the facility's only applies.
            if (decoded_.size() < packets.size()) decoded_.resize(packets.size());
            decodeFaults_.resize(packets.size());
            for (std::size_t i = 0; i < packets.size(); ++i) {
                decodeFaults_[i] = decode(packets[i].data(), packets[i].size(), decoded_[i]);
            }
            return handoff_->call(
                [&] {
                    for (std::size_t i = 0; i < packets.size(); ++i) {
                        receive(link, packets[i].data(), packets[i].size(), decoded_[i],
                                decodeFaults_[i]);
                    }
                    for (const Malformed fault : faults) dropped(link, fault);
                    publishChanges();
                },
                answerWithin);
        },
        [this, answerWithin] {
            handoff_->call(
                [this] {
                    sayNotices();
                    publishChanges();
                },
                answerWithin);
        });
    for (Receiver& receiver : receivers_) in_->add(receiver.config, *receiver.status);
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
    for (Receiver& receiver : receivers_) {
        receiver.status->setState("disconnected");
    }
}

void Bridges::finish() {
    if (finished_ || !any()) return;
    finished_ = true;
    stopServing();
    flushAll();
    if (out_ != nullptr) out_->stop(500);
    sayNotices();
    for (const Receiver& receiver : receivers_) {
        if (receiver.unknownRefused != 0) {
            timeline_.event(EventKind::Host,
                            "tsl " + receiver.config.name + ": " +
                                std::to_string(receiver.unknownRefused) +
                                " message(s) for inputs or slots beyond the " +
                                std::to_string(maxUnknownPerListener) +
                                " unknown ones it made were not applied");
        }
        if (receiver.droppedCount == 0) continue;
        std::string text = "tsl " + receiver.config.name + ": dropped " +
                           std::to_string(receiver.droppedCount) + " malformed packet(s):";
        bool first = true;
        for (int kind = 1; kind < static_cast<int>(Malformed::kinds); ++kind) {
            if (receiver.byKind[kind] == 0) continue;
            text += (first ? " " : ", ") + std::string(describe(static_cast<Malformed>(kind))) +
                    " " + std::to_string(receiver.byKind[kind]);
            first = false;
        }
        timeline_.event(EventKind::Host, text);
    }
}

// ---- scenario steps ------------------------------------------------------------

bool Bridges::claims(const std::string& line) const {
    auto startsWith = [&](const char* word) {
        const std::size_t n = std::char_traits<char>::length(word);
        return line.compare(0, n, word) == 0 &&
               (line.size() == n || line[n] == ' ' || line[n] == '\t');
    };
    if (startsWith("tsl")) return true;
    if (!startsWith("expect")) return false;
    const std::string rest = trim(line.substr(6));
    return rest.compare(0, 3, "tsl") == 0 && (rest.size() == 3 || rest[3] == ' ' || rest[3] == '\t');
}

Bridges::Sender* Bridges::sender(const std::string& name) {
    for (Sender& sender : senders_) {
        if (sender.config.name == name) return &sender;
    }
    return nullptr;
}

Bridges::Receiver* Bridges::receiver(const std::string& name, std::size_t* number) {
    for (std::size_t i = 0; i < receivers_.size(); ++i) {
        if (receivers_[i].config.name != name) continue;
        if (number != nullptr) *number = i;
        return &receivers_[i];
    }
    return nullptr;
}

void Bridges::run(const std::string& line, int lineNo, Facility&,
                  const std::function<void(bool held, const std::string& what)>& check) {
    std::string rest = trim(line.substr(line.compare(0, 6, "expect") == 0 ? 6 : 0));
    const bool expecting = line.compare(0, 6, "expect") == 0;
    rest = trim(rest.substr(3));
    const std::size_t space = rest.find_first_of(" \t");
    const std::string name = rest.substr(0, space);
    rest = space == std::string::npos ? "" : trim(rest.substr(space));
    if (name.empty()) {
        timeline_.event(EventKind::Error,
                        expecting ? "expect tsl <bridge> index=N ... | packets=N" : "tsl <bridge> hex|stream <bytes> | index=N ...",
                        lineNo);
        return;
    }
    if (expecting) {
        expect(name, rest, lineNo, check);
    } else {
        feed(name, rest, lineNo);
    }
}

void Bridges::feed(const std::string& name, const std::string& rest, int lineNo) {
    std::size_t number = 0;
    Receiver* target = receiver(name, &number);
    if (target == nullptr) {
        timeline_.event(EventKind::Error,
                        "no TSL input named " + displayQuote(name) + " (a [tsl_in." + name +
                            "] section)",
                        lineNo);
        return;
    }
    const std::size_t space = rest.find_first_of(" \t");
    const std::string how = rest.substr(0, space);
    const std::string bytesText = space == std::string::npos ? "" : rest.substr(space);
    std::vector<std::uint8_t> bytes;
    if (how == "hex" || how == "stream") {
        if (!parseHex(bytesText, bytes) || bytes.empty()) {
            timeline_.event(EventKind::Error, "expected bytes as hexadecimal digits", lineNo);
            return;
        }
        if (how == "hex") {
            receive(number, bytes.data(), bytes.size());
        } else {
            std::vector<std::vector<std::uint8_t>> packets;
            std::vector<Malformed> faults;
            target->stream.feed(
                bytes.data(), bytes.size(),
                [&](const std::uint8_t* data, std::size_t size) {
                    packets.emplace_back(data, data + size);
                },
                [&](Malformed kind) { faults.push_back(kind); });
            for (const auto& packet : packets) receive(number, packet.data(), packet.size());
            for (const Malformed fault : faults) dropped(number, fault);
        }
        return;
    }
    std::map<std::string, std::string> fields;
    std::string error;
    std::int32_t index = -1, screen = 0, right = 0, left = 0, text = 0;
    const bool ok = fieldsOf(rest, fields, error) &&
                    numberField(fields, "index", 0, 65535, index, error) &&
                    numberField(fields, "screen", 0, 65535, screen, error) &&
                    numberField(fields, "right", 0, 3, right, error) &&
                    numberField(fields, "left", 0, 3, left, error) &&
                    numberField(fields, "text", 0, 3, text, error);
    for (const auto& field : fields) {
        if (error.empty() && field.first != "index" && field.first != "screen" &&
            field.first != "right" && field.first != "left" && field.first != "text" &&
            field.first != "label") {
            error = "unknown field '" + field.first + "'";
        }
    }
    if (!ok || !error.empty() || index < 0) {
        timeline_.event(EventKind::Error,
                        (error.empty() ? std::string("index=N is needed") : error) +
                            " (tsl NAME index=N [screen=S] [right=L] [left=L] [text=L] "
                            "[label=TEXT], or hex/stream <bytes>)",
                        lineNo);
        return;
    }
    Display display;
    display.index = static_cast<std::uint16_t>(index);
    display.right = static_cast<std::uint8_t>(right);
    display.left = static_cast<std::uint8_t>(left);
    display.text = static_cast<std::uint8_t>(text);
    display.label = fields.count("label") != 0 ? fields["label"] : "";
    const auto packet = encodePacket(static_cast<std::uint16_t>(screen), {display});
    receive(number, packet.data(), packet.size());
}

void Bridges::expect(const std::string& name, const std::string& rest, int lineNo,
                     const std::function<void(bool held, const std::string& what)>& check) {
    Sender* out = sender(name);
    Receiver* in = receiver(name);
    std::map<std::string, std::string> fields;
    std::string error;
    if (out == nullptr && in == nullptr) {
        error = "no TSL bridge named " + displayQuote(name);
    } else if (!fieldsOf(rest, fields, error)) {
    } else if (fields.empty()) {
        error = "expect tsl NAME index=N [right=L] [left=L] [text=L] [label=TEXT] | packets=N | "
                "messages=N | dropped=N";
    }
    // Counters.
    static const char* const counters[] = {"packets", "messages", "dropped"};
    for (const char* counter : counters) {
        if (!error.empty() || fields.count(counter) == 0) continue;
        std::int32_t wanted = 0;
        if (!numberField(fields, counter, 0, INT32_MAX, wanted, error)) break;
        std::uint64_t got = 0;
        if (std::string(counter) == "dropped") {
            if (in == nullptr) {
                error = "dropped counts the packets of a [tsl_in]";
                break;
            }
            got = in->droppedCount;
        } else if (std::string(counter) == "messages") {
            if (out == nullptr) {
                error = "messages counts what a [tsl_out] sent";
                break;
            }
            got = out->messagesSent;
        } else {
            got = out != nullptr ? out->packets : in->accepted;
        }
        check(got == static_cast<std::uint64_t>(wanted),
              "tsl " + name + " " + counter + " = " + std::to_string(wanted) +
                  (got == static_cast<std::uint64_t>(wanted) ? "" : ", got " + std::to_string(got)));
        fields.erase(counter);
    }
    if (error.empty() && !fields.empty()) {
        std::int32_t index = -1, right = -1, left = -1, text = -1;
        if (out == nullptr) {
            error = "index=N checks what a [tsl_out] sent";
        } else if (numberField(fields, "index", 0, 65535, index, error) &&
                   numberField(fields, "right", 0, 3, right, error) &&
                   numberField(fields, "left", 0, 3, left, error) &&
                   numberField(fields, "text", 0, 3, text, error)) {
            for (const auto& field : fields) {
                if (error.empty() && field.first != "index" && field.first != "right" &&
                    field.first != "left" && field.first != "text" && field.first != "label") {
                    error = "unknown field '" + field.first + "'";
                }
            }
            if (error.empty() && index < 0) error = "index=N is needed";
        }
        if (error.empty()) {
            std::string what = "tsl " + name + " index " + std::to_string(index);
            for (const char* key : {"right", "left", "text", "label"}) {
                const auto it = fields.find(key);
                if (it == fields.end()) continue;
                what += std::string(" ") + key + "=" +
                        (std::string(key) == "label" ? displayQuote(it->second) : it->second);
            }
            Display d;
            if (!out->lastSent(static_cast<std::uint16_t>(index), d)) {
                check(false, what + ", but nothing was sent for it");
            } else {
                const bool held = (right < 0 || d.right == right) && (left < 0 || d.left == left) &&
                                  (text < 0 || d.text == text) &&
                                  (fields.count("label") == 0 || d.label == fields["label"]);
                check(held, what + (held ? "" : ", got " + levelText(d)));
            }
        }
    }
    if (!error.empty()) timeline_.event(EventKind::Error, error, lineNo);
}

}  // namespace tsl
}  // namespace vhost
