// facility.h - the world a host's components share.
//
// The facility holds the environment (instances, info slots, GPI inputs),
// the simulated clock with one timer queue for every component, the index
// that routes a driver update to the components that registered its slot,
// the panel layouts read so far, and the rehearsal warnings. Components
// are Connections (one each); front ends (the scenario runner, the live
// page) drive the facility through its public operations.
//
// Calls into plug-ins happen one at a time and never from inside a command:
// driver updates that a command or a force causes are queued and delivered
// once the current call has returned; timer ticks are delivered only while
// the clock is advanced.
#ifndef VESK_HOST_FACILITY_FACILITY_H
#define VESK_HOST_FACILITY_FACILITY_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "connection/command_log.h"
#include "facility/layout_cache.h"
#include "facility/routing_index.h"
#include "facility/slot_table.h"
#include "facility/tally_watch.h"
#include "facility/timeline.h"
#include "facility/timer_queue.h"
#include "text/host_parsers.h"
#include "platform/diagnostic_capture.h"
#include "vesk_host_abi.h"

namespace vhost {

class Connection;

// Told of every change of state, for a live view. All calls come on the
// facility's thread.
class FacilityObserver {
public:
    virtual ~FacilityObserver() = default;
    // A property of `control` was set; `id` is the control's id and `text`
    // its "text" property now (null: it has none), both kept where the
    // component is, so that a change need not read the control (in a large
    // facility, a cache miss a change).
    virtual void controlChanged(const Connection& component, const std::string& panel,
                                const Control& control, const std::string& id,
                                const std::string* text) = 0;
    virtual void slotChanged(std::int32_t device, std::int32_t slot, const std::string& text) = 0;
    // A component wrote an info slot; slotChanged for the same slot follows.
    virtual void infoWritten(const Connection& writer, std::int32_t device, std::int32_t slot,
                             const std::string& text) {
        (void)writer, (void)device, (void)slot, (void)text;
    }
    virtual void gpiChanged(std::int32_t device, std::int32_t input, std::int32_t state) = 0;
    // Components, panels or registrations came or went.
    virtual void structureChanged() = 0;
    // Everything that followed from one force, request or timer tick has
    // been handled: changes seen since belong together (one step).
    virtual void stepEnded() {}
};

// Told of every command a component sends, as it is sent (a recording
// keeps them in one buffer per action instead of reading each component's
// log back).
class CommandTap {
public:
    virtual ~CommandTap() = default;
    virtual void sent(const Connection& from, std::string_view command) = 0;
};

class Facility {
public:
    Facility(Environment env, Timeline& timeline, bool captureDiagnostics);
    ~Facility();
    Facility(const Facility&) = delete;
    Facility& operator=(const Facility&) = delete;

    // Adds a component, to be created with `factory` (Connection::create).
    Connection& addComponent(const std::string& name, vesk_factory_fn factory,
                             const std::string& panelPath, const std::string& plugin);
    Connection* component(const std::string& name);
    // The log capacity of components added from now on (see Connection).
    void setLogCapacity(std::size_t capacity) { logCapacity_ = capacity; }
    const std::vector<std::unique_ptr<Connection>>& components() const { return components_; }

    // Things a front end makes happen. Each returns once the plug-ins have
    // handled everything that followed from it.
    void forceGpi(std::int32_t device, std::int32_t input, std::int32_t state);
    void forceInfo(std::int32_t device, std::int32_t slot, const std::string& text);
    void advance(std::int64_t ms);

    std::string infoText(std::int32_t device, std::int32_t slot) const;
    std::int32_t gpiState(std::int32_t device, std::int32_t input) const;
    std::int64_t now() const { return now_; }
    const Environment& environment() const { return env_; }
    const RoutingIndex& routing() const { return routing_; }
    Timeline& timeline() { return timeline_; }

    void showSlots();
    // Ends the run: destroys live components, reports replies never handed back.
    void finish();

    void setObserver(FacilityObserver* observer) { observer_ = observer; }
    void setCommandTap(CommandTap* tap) { tap_ = tap; }
    CommandTap* commandTap() const { return tap_; }
    FacilityObserver* observer() const { return observer_; }
    // Said once, when the facility starts, if diagnostics cannot be captured.
    const std::string& captureProblem() const { return capture_.problem(); }

    // While one lives, the plug-ins' diagnostic output stays pointed at the
    // capture across many calls (a mixer's packet of a thousand displays)
    // instead of being pointed there and back for each call, which costs
    // more than the call; each call's text is still taken after it, for the
    // component it belongs to. The host must not write to standard error
    // meanwhile (its timeline goes to standard output).
    class DiagnosticsHeld {
    public:
        explicit DiagnosticsHeld(Facility& facility) : facility_(facility) {
            if (facility_.diagnosticsHeld_++ == 0) facility_.capture_.begin();
        }
        ~DiagnosticsHeld() {
            if (--facility_.diagnosticsHeld_ == 0 && !facility_.busy_) facility_.capture_.end();
        }
        DiagnosticsHeld(const DiagnosticsHeld&) = delete;
        DiagnosticsHeld& operator=(const DiagnosticsHeld&) = delete;

    private:
        Facility& facility_;
    };

    // Deliveries to one component in one step before the host assumes a feedback loop.
    static const int maxDeliveriesPerStep = 10000;
    // Timer ticks in one advance before the rest are skipped.
    static const long maxTicksPerAdvance = 100000;

    // ---- for connections ------------------------------------------------
    // Runs `call` (a call into `target`'s plug-in) with its diagnostics
    // captured and nothing escaping into the host.
    template <typename Call>
    void callPlugin(Connection& target, Call&& call) {
        callPluginWith(
            target, [](void* context) { (*static_cast<std::remove_reference_t<Call>*>(context))(); },
            &call);
    }
    bool busy() const { return busy_; }
    void drainDiagnostics(Connection& target) {
        if (capture_.active()) takeDiagnostics(target);
    }
    // `asker` looked up the instance `name` and was answered `instance`.
    void instanceLookedUp(Connection& asker, const std::string& name, const Instance& instance);
    void writeInfo(Connection& writer, std::int32_t device, std::int32_t slot,
                   std::string_view text);
    void poll(Connection& owner, Driver driver, std::int32_t device, std::int32_t first,
              std::int32_t last);
    void registerSlots(Connection& owner, Driver driver, std::int32_t device, std::int32_t first,
                       std::int32_t last, bool replace);
    void unregister(Connection& owner, Driver driver, std::int32_t device);
    TimerQueue& timers() { return timers_; }
    LayoutCache& layouts() { return layouts_; }
    TallyWatch& tallies() { return tallies_; }
    bool knowsDevice(Driver driver, std::int32_t device) const;
    // Delivers queued driver updates until none is left.
    void pump();
    // Drops what is queued for a component that ends.
    void forget(Connection& component);

private:
    struct Update {
        std::size_t target;
        std::uint64_t life;  // the target's life the update was queued for
        Driver driver;
        std::int32_t device;
        std::int32_t index;
        std::int32_t state;
        std::string text;
    };
    void callPluginWith(Connection& target, void (*run)(void*), void* context);
    void takeDiagnostics(Connection& target);
    void route(Driver driver, std::int32_t device, std::int32_t index);
    void queue(Connection& target, Driver driver, std::int32_t device, std::int32_t index);
    void warn(Connection& about, const std::string& text);
    void warnAll(Connection& about);
    // The stored text of an info slot and state of a GPI input, made when
    // missing; found through a hash index rather than the ordered maps.
    std::string& infoSlot(std::int32_t device, std::int32_t slot);
    std::int32_t& gpiInput(std::int32_t device, std::int32_t input);
    const std::string* findInfo(std::int32_t device, std::int32_t slot) const;

    Environment env_;
    Timeline& timeline_;
    DiagnosticCapture capture_;
    FacilityObserver* observer_ = nullptr;
    CommandTap* tap_ = nullptr;  // not owned
    std::vector<std::unique_ptr<Connection>> components_;
    std::unordered_map<std::string, std::size_t> byName_;
    RoutingIndex routing_;
    TimerQueue timers_;
    LayoutCache layouts_;
    TallyWatch tallies_;
    TallyWatch::SlotText slotText_;  // the text of an info slot, for the tally watch
    // Updates waiting for delivery, queueHead_ to queueEnd_; the entries and
    // their texts are reused, so a steady stream of updates allocates nothing.
    std::vector<Update> queue_;
    std::size_t queueHead_ = 0;
    std::size_t queueEnd_ = 0;
    std::string delivering_;  // the text of the update being delivered
    std::vector<std::size_t> scratch_;
    std::vector<std::string> warnings_;
    // What a routed update touches of each component, by its number, packed
    // so that an update in a large facility costs few cache misses.
    struct Hot {
        std::uint64_t step = 0;  // the step it was last delivered in
        int deliveries = 0;      // ...and how many deliveries in that step
        std::int32_t wroteDevice = 0;
        std::int32_t wroteSlot = 0;
        std::string* wroteText = nullptr;  // the info slot it wrote last
    };
    std::vector<Hot> hot_;
    std::uint64_t step_ = 0;
    std::unordered_map<std::int32_t, bool> knownDevices_[2];
    // Index into env_.info and env_.gpi (whose nodes never move).
    SlotTable<std::string*> infoIndex_;
    SlotTable<std::int32_t*> gpiIndex_;
    std::int64_t now_ = 0;
    std::size_t logCapacity_ = BoundedLog::defaultCapacity;
    bool busy_ = false;
    int diagnosticsHeld_ = 0;
    std::string pendingDiagnostic_;
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_FACILITY_H
