// bridges.h - vesk-host as a bridge to real tally gear over TSL UMD (5.0
// or 3.1, chosen per section).
//
// A [tsl_out.NAME] section makes an info device a tally driver: every
// write to one of its slots, from any component, becomes a display message
// for that index with the level on the chosen lamps or tallies; the
// changes of one step leave together, in as few packets as fit
// (bridge_sender.h). A [tsl_in.NAME] section makes a mixer a source: each
// display message that changes something becomes a force of a GPI input or
// an info slot (bridge_receiver.h). What differs between the versions is
// the codec (codec.h); everything here is shared.
//
// The facility side of the bridges runs on the facility's thread; their
// sockets run on threads of their own (tsl_links.h).
//
// Scenario steps (so that a bridge can be rehearsed without sockets):
//   tsl NAME hex <bytes>        a packet as received on a [tsl_in]
//   tsl NAME stream <bytes>     bytes of its TCP stream
//   tsl NAME index=N FIELD=V... one display message, in the fields of its version:
//                               5.0: [screen=S] [right=L] [left=L] [text=L] [label=TEXT]
//                               3.1: [tally1=B] .. [tally4=B] [brightness=B] [label=TEXT]
//   expect tsl NAME index=N FIELD=V... [label=TEXT]
//                               the newest message a [tsl_out] sent for N
//                               (5.0: right, left, text; 3.1: tally1 to tally4)
//   expect tsl NAME packets=N | messages=N | dropped=N
//                               packets sent ([tsl_out]) or accepted
//                               ([tsl_in]), messages sent, packets dropped
#ifndef VESK_HOST_BRIDGES_BRIDGES_H
#define VESK_HOST_BRIDGES_BRIDGES_H

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridges/bridge_receiver.h"
#include "bridges/bridge_sender.h"
#include "bridges/bridge_status.h"
#include "bridges/codec.h"
#include "bridges/facility_handoff.h"
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
    static constexpr std::size_t maxUnknownPerListener = Receiver::maxUnknown;

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

    // The "bridges" array of the live page's snapshot, and its "bridge" events:
    // `changed` is told when a bridge's state or counts changed, and
    // publishChanges() then gives `publish` an event for each bridge that
    // did (the page's events are written once a burst of packets is over,
    // not after each handoff).
    nlohmann::json state() const;
    void setPublisher(std::function<void(const nlohmann::json&)> publish,
                      std::function<void()> changed = nullptr);
    void publishChanges();

    // Sends what is left, closes the sockets, and reports what was dropped.
    void finish();

    // StepExtension (bridge_steps.cpp)
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
    // `heard` is what its codec made of it, when that is known already.
    void receive(std::size_t receiver, const std::uint8_t* data, std::size_t size);
    void receive(std::size_t receiver, const std::uint8_t* data, std::size_t size,
                 const std::vector<Heard>& heard, Malformed fault);
    void dropped(std::size_t receiver, Malformed kind);

private:
    // FacilityObserver
    void controlChanged(const Connection&, const std::string&, const Control&, const std::string&,
                        const std::string*) override {}
    void slotChanged(std::int32_t device, std::int32_t slot, const std::string& text) override;
    void gpiChanged(std::int32_t, std::int32_t, std::int32_t) override {}
    void structureChanged() override {}
    void stepEnded() override;

    void flushAll();
    void apply(Receiver& receiver, const std::vector<Heard>& heard);
    void sayNotices();
    void tellChanged();
    Sender* sender(const std::string& name);
    Receiver* receiver(const std::string& name, std::size_t* number = nullptr);
    void expect(const std::string& name, const std::string& fields, int lineNo,
                const std::function<void(bool held, const std::string& what)>& check);
    void feed(const std::string& name, const std::string& rest, int lineNo);

    Timeline& timeline_;
    Facility* facility_ = nullptr;
    ObserverFanout observers_;
    std::vector<std::unique_ptr<Sender>> senders_;
    std::vector<std::unique_ptr<Receiver>> receivers_;
    std::vector<std::pair<std::int32_t, std::size_t>> sendersByDevice_;  // sorted
    // The listener thread's: what its codec made of the packets it hands over.
    std::vector<std::vector<Heard>> decoded_;
    std::vector<Malformed> decodeFaults_;
    Notices notices_;
    std::unique_ptr<OutLinks> out_;
    std::unique_ptr<InLinks> in_;
    std::unique_ptr<FacilityHandoff> handoff_;
    std::function<void(const nlohmann::json&)> publish_;
    std::function<void()> changed_;
    ReceiveWrapper receiveWrapper_;
    int hold_ = 0;  // > 0 while one received packet is applied: its changes are one step
    bool finished_ = false;
};

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_BRIDGES_H
