// bridges.h - vesk-host as a bridge to real tally gear over TSL UMD 5.0.
//
// A [tsl_out.NAME] section makes an info device a tally driver: every
// write to one of its slots, from any component, becomes a display message
// for that index with the level on the chosen lamps; the changes of one
// step leave together, in as few packets as fit. A [tsl_in.NAME] section
// makes a mixer a source: each display message that changes something
// becomes a force of a GPI input or an info slot, exactly as a scenario's
// gpi/info step, and so reaches the components that registered it.
//
// The facility side of the bridges runs on the facility's thread; their
// sockets run on threads of their own (tsl_links.h). Malformed packets are
// dropped whole, with one warning per kind per bridge, the rest counted.
//
// Scenario steps (so that a bridge can be rehearsed without sockets):
//   tsl NAME hex <bytes>        a packet as received on a [tsl_in]
//   tsl NAME stream <bytes>     bytes of its TCP stream (DLE/STX framed)
//   tsl NAME index=N [screen=S] [right=L] [left=L] [text=L] [label=TEXT]
//                               one display message
//   expect tsl NAME index=N [right=L] [left=L] [text=L] [label=TEXT]
//                               the newest message a [tsl_out] sent for N
//   expect tsl NAME packets=N | messages=N | dropped=N
//                               packets sent ([tsl_out]) or accepted
//                               ([tsl_in]), messages sent, packets dropped
#ifndef VESK_HOST_BRIDGES_BRIDGES_H
#define VESK_HOST_BRIDGES_BRIDGES_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridges/bridge_status.h"
#include "bridges/facility_handoff.h"
#include "bridges/tsl_codec.h"
#include "bridges/tsl_config.h"
#include "facility/facility.h"
#include "facility/observer_fanout.h"
#include "facility/timeline.h"
#include "front/facility_setup.h"
#include "front/scenario.h"

namespace vhost {
namespace tsl {

class OutLinks;
class InLinks;

class Bridges : public FacilityAddOn, public StepExtension, private FacilityObserver {
public:
    // GPI inputs, and apart from them info slots, that neither the
    // configuration nor a component knows and one [tsl_in] may bring into
    // being; a message for one more is not applied, but counted. This bounds
    // what a mixer (or anyone who can reach its port) makes the facility keep.
    static constexpr std::size_t maxUnknownPerListener = 256;

    explicit Bridges(Timeline& timeline);
    ~Bridges() override;
    Bridges(const Bridges&) = delete;
    Bridges& operator=(const Bridges&) = delete;

    // FacilityAddOn: reads the [tsl_out] and [tsl_in] sections; attaching
    // opens the senders' sockets.
    bool configure(const std::string& configPath, std::vector<std::string>& errors) override;
    void attach(Facility& facility) override;
    bool any() const { return !senders_.empty() || !receivers_.empty(); }

    // Another observer of the facility (the live page), told beside the bridges.
    void alsoTell(FacilityObserver* observer);
    void stopTelling(FacilityObserver* observer);

    // Real time: the listeners run until stopServing(), which the facility
    // thread calls. `post` hands a job to the facility thread from any other
    // thread. What the listeners say goes to `log` too. False when a
    // listener could not be bound (it says why): the mixer would go unheard.
    bool serve(FacilityHandoff::Post post, std::ostream& log);
    void stopServing();

    // The "bridges" array of the live page's snapshot, and its "bridge" events.
    nlohmann::json state() const;
    void setPublisher(std::function<void(const nlohmann::json&)> publish);

    // Sends what is left, closes the sockets, and reports what was dropped.
    void finish();

    // StepExtension
    bool claims(const std::string& line) const override;
    void run(const std::string& line, int lineNo, Facility& facility,
             const std::function<void(bool held, const std::string& what)>& check) override;

    // Wraps the handling of every accepted packet: `step` is the scenario
    // step that feeds the same packet ("tsl NAME hex ..."), `handle` applies
    // it. The recording of a live rehearsal writes it down this way.
    using ReceiveWrapper =
        std::function<void(const std::string& step, const std::function<void()>& handle)>;
    void setReceiveWrapper(ReceiveWrapper wrapper) { receiveWrapper_ = std::move(wrapper); }

    // What arrived on the [tsl_in] numbered `receiver` (facility thread);
    // `decoded` is what decode() made of it, when that is known already.
    void receive(std::size_t receiver, const std::uint8_t* data, std::size_t size);
    void receive(std::size_t receiver, const std::uint8_t* data, std::size_t size,
                 const Packet& decoded, Malformed fault);
    void dropped(std::size_t receiver, Malformed kind);

private:
    struct Sender {
        OutConfig config;
        std::unique_ptr<BridgeStatus> status;
        // This step's changes, in order, newest per index; kept flat and
        // reused, as a cut may change every display at once.
        struct Change {
            std::uint16_t index;
            std::uint8_t level;
        };
        std::vector<Change> pending;
        std::vector<std::uint32_t> pendingAt;  // by index: position in pending + 1, or 0
        std::vector<std::uint8_t> sent;        // by index: the newest level sent + 1, or 0
        std::vector<Message> messages;         // the step's messages, as they are encoded
        std::uint64_t packets = 0, messagesSent = 0;
        std::uint64_t seen = 0;  // status version last published

        // The message for `index` at `level` on the chosen lamps, with its
        // label (borrowed from the configuration, or a copy).
        std::string_view label(std::uint16_t index) const;
        Message message(std::uint16_t index, std::uint8_t level) const;
        Display display(std::uint16_t index, std::uint8_t level) const;
        bool lastSent(std::uint16_t index, Display& out) const;
    };
    struct Receiver {
        InConfig config;
        std::unique_ptr<BridgeStatus> status;
        Deframer stream;  // the "tsl NAME stream" steps
        std::uint64_t accepted = 0, droppedCount = 0;
        std::uint64_t byKind[static_cast<int>(Malformed::kinds)] = {};
        bool broadcastSaid = false;
        std::size_t unknownMade = 0;     // inputs or slots brought into being
        std::uint64_t unknownRefused = 0;
        std::uint64_t seen = 0;
    };

    // FacilityObserver
    void controlChanged(const Connection&, const std::string&, const Control&) override {}
    void slotChanged(std::int32_t device, std::int32_t slot, const std::string& text) override;
    void gpiChanged(std::int32_t, std::int32_t, std::int32_t) override {}
    void structureChanged() override {}
    void stepEnded() override;

    void flush(std::size_t sender);
    void flushAll();
    void apply(Receiver& receiver, const Packet& packet);
    bool roomFor(Receiver& receiver, std::int32_t at, std::uint16_t index);
    void sayNotices();
    void publishChanges();
    Sender* sender(const std::string& name);
    Receiver* receiver(const std::string& name, std::size_t* number = nullptr);
    void expect(const std::string& name, const std::string& fields, int lineNo,
                const std::function<void(bool held, const std::string& what)>& check);
    void feed(const std::string& name, const std::string& rest, int lineNo);

    Timeline& timeline_;
    Facility* facility_ = nullptr;
    ObserverFanout observers_;
    std::vector<Sender> senders_;
    std::vector<Receiver> receivers_;
    std::vector<std::pair<std::int32_t, std::size_t>> sendersByDevice_;  // sorted
    // The listener thread's: what it decoded of the packets it hands over.
    std::vector<Packet> decoded_;
    std::vector<Malformed> decodeFaults_;
    Notices notices_;
    std::unique_ptr<OutLinks> out_;
    std::unique_ptr<InLinks> in_;
    std::unique_ptr<FacilityHandoff> handoff_;
    std::function<void(const nlohmann::json&)> publish_;
    ReceiveWrapper receiveWrapper_;
    int hold_ = 0;  // > 0 while one received packet is applied: its changes are one step
    bool finished_ = false;
};

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_BRIDGES_H
