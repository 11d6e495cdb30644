// facility_backend.h - the live page's view of a facility.
//
// Answers the page's requests from the facility and gathers what changes
// while a piece of work runs (a request, a mixer's packets, a clock tick):
// the final state of each input, slot, control and component write, and
// the timeline events, kept in flat lists, never as JSON trees. When the
// work is done they are written as one "batch" event straight into a text,
// and only while a page listens. The newest timeline events, from the start
// of the run, are kept for the snapshot of a page that opens late; older
// ones are dropped, so a long run stays bounded.
#ifndef VESK_HOST_FRONT_WEB_FACILITY_BACKEND_H
#define VESK_HOST_FRONT_WEB_FACILITY_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "facility/facility.h"
#include "facility/timeline.h"
#include "front/recording/recorder.h"
#include "front/web/final_states.h"
#include "front/web/live_backend.h"

namespace vhost {
namespace web {

class FacilityBackend : public LiveBackend, public FacilityObserver, public TimelineSink {
public:
    static const std::size_t keptEvents = 500;
    // GPI inputs, and apart from them info slots, that neither the
    // configuration nor a component knows and the page may bring into being
    // by forcing them; one more is refused with 409. This bounds what the
    // outside can make the facility keep (and the snapshot carry).
    static const std::size_t maxForcedUnknown = 256;
    static const std::size_t keptWarningsPerComponent = 3;
    // Routine timeline events of one batch that a live run gives in full
    // (Timeline::limitDetail); the rest are counted, and one event says how
    // many. A request's or a camera's cut fits; a cut of a thousand does not.
    static const std::size_t routineEventsPerBatch = 100;
    // Timeline events listed in one batch, warnings included; more are
    // counted, not listed.
    static const std::size_t batchTimelineMax = 500;
    // A batch of more components than this goes out in parts of whole
    // components (a component's write, the slot it wrote and its controls
    // together), so that a page parses and applies a cut of ten thousand
    // cameras a part at a time and never shows a component half applied.
    static const std::size_t componentsPerBatchPart = 1000;

    // Listens to `timeline` from now on, so that a page opened later sees
    // what happened before serving began; answers requests once attached.
    explicit FacilityBackend(Timeline& timeline);
    void attach(Facility& facility);
    ~FacilityBackend() override;
    FacilityBackend(const FacilityBackend&) = delete;
    FacilityBackend& operator=(const FacilityBackend&) = delete;

    // LiveBackend
    std::string snapshot(const std::map<std::string, std::string>& more) override;
    Outcome forceGpi(std::int32_t device, std::int32_t input, std::int32_t state) override;
    Outcome forceInfo(std::int32_t device, std::int32_t slot, const std::string& text) override;
    Outcome parentRequest(const std::string& component, const std::string& key) override;
    Outcome controlEvent(const std::string& component, const std::string& control,
                         const std::string& key) override;
    void advanceTo(std::int64_t ms) override;
    std::int64_t now() const override { return facility_ != nullptr ? facility_->now() : 0; }
    void setEventOutlet(EventOutlet* outlet) override;
    void flushEvents() override;
    std::optional<std::size_t> recording(std::size_t offset, std::size_t max,
                                         std::string& piece) override;
    Outcome setRecording(bool on) override;
    // A lamp test lasts from 1 s to this long: long enough to walk to a
    // camera and look, short enough that no one forgets it running.
    static const std::int32_t maxLampTestSeconds = 10;
    Outcome lampTest(std::int32_t seconds) override;
    // Every action from outside is recorded by `recorder` (null: none).
    // Other inputs of the facility (a tally protocol, say) force GPI inputs
    // and info slots through forceGpi and forceInfo, so they are recorded too.
    // The recorder writes its actions when the batch is written, after the
    // work at hand (and the lamps it lit).
    void setRecorder(Recorder* recorder);
    // Something outside the facility (a bridge) has news for the page:
    // `beforeFlush` runs when the batch is written, and may publish.
    void setBeforeFlush(std::function<void()> beforeFlush) {
        beforeFlush_ = std::move(beforeFlush);
    }
    void askFlush() { begun(); }

    // FacilityObserver
    void controlChanged(const Connection& component, const std::string& panel, const Control& control,
                        const std::string& id, const std::string* text) override;
    void slotChanged(std::int32_t device, std::int32_t slot, const std::string& text) override;
    void infoWritten(const Connection& writer, std::int32_t device, std::int32_t slot,
                     const std::string& text) override;
    void gpiChanged(std::int32_t device, std::int32_t input, std::int32_t state) override;
    void structureChanged() override;

    // TimelineSink
    void event(const Event& event) override;

    // Parts of the host beside the facility (the TSL bridges): their state
    // in the snapshot under `key`, and events of their own.
    void addPart(const std::string& key, std::function<nlohmann::json()> state);
    void publishEvent(const nlohmann::json& event);

private:
    // The info slot a component wrote last: where its tally lands.
    struct TallyWrite {
        std::int32_t device = 0;
        std::int32_t slot = 0;
        std::string text;
        std::int64_t timeMs = 0;
    };
    // A timeline event as kept: its text is written out when it is read.
    struct TimelineRecord {
        std::int64_t time = 0;
        EventKind kind = EventKind::Host;
        int line = 0;
        std::string text;
        std::string component;
    };
    // What the work at hand changed, final states only.
    struct Batch {
        struct Gpi { std::uint64_t key; std::int32_t device, input, state; };
        struct Info { std::uint64_t key; std::int32_t device, slot; std::string text; };
        // Components stay for the whole run: a batch names them by address,
        // and a writer's last write is read when the batch is written.
        struct Written { std::uint64_t key; const Connection* writer; };
        // An alarm control ("alm_...") also carries its level and last group action.
        struct ControlText {
            std::uint64_t key;
            const Connection* component;
            std::string panel, control, text;
            bool alarm;
            std::string level, action;
        };
        FinalStates<Gpi> gpi;
        FinalStates<Info> info;
        FinalStates<Written> written;
        FinalStates<ControlText> controls;
        std::vector<TimelineRecord> timeline;
        std::uint64_t timelineLeftOut = 0;
        bool empty() const {
            return gpi.empty() && info.empty() && written.empty() && controls.empty() &&
                   timeline.empty() && timelineLeftOut == 0;
        }
        void clear();
    };
    Connection* find(const std::string& name, Outcome& outcome);
    using Key = std::pair<std::int32_t, std::int32_t>;
    bool roomFor(Driver driver, bool known, const Key& key, std::set<Key>& forced, Outcome& refusal);
    bool gathering() const { return outlet_ != nullptr && outlet_->listening(); }
    void begun();
    void publishNow(std::string event);
    const TallyWrite* tallyWriteOf(const Connection& component) const;
    void appendComponents(std::string& out) const;
    void noteWrite(const Event& event);
    static nlohmann::json timelineJson(const TimelineRecord& record);
    void publishBatch();
    std::uint32_t placeInParts();
    void writeBatch(std::string& out, std::uint32_t part, std::uint32_t parts);

    Facility* facility_ = nullptr;
    Recorder* recorder_ = nullptr;
    Timeline& timeline_;
    EventOutlet* outlet_ = nullptr;
    Batch batch_;
    static constexpr std::uint32_t noPart = UINT32_MAX;
    std::vector<std::uint32_t> partOf_;                          // by component number
    std::unordered_map<std::uint64_t, std::uint32_t> partOfSlot_;  // by slot key
    // The part of each entry of the batch's lists, found once for all parts.
    std::vector<std::uint32_t> infoPart_, writtenPart_, controlPart_;
    std::function<void()> beforeFlush_;
    bool flushAsked_ = false;
    bool flushing_ = false;
    std::deque<TimelineRecord> recent_;
    std::size_t snapshotSize_ = 0;  // of the last, to reserve for the next
    std::uint64_t dropped_ = 0;  // older events no longer in recent_
    std::set<Key> forcedGpi_, forcedInfo_;  // brought into being from the page
    // Where each component's tally landed: by its number once the page is
    // attached, by name for what the scenario before it wrote.
    std::vector<std::optional<TallyWrite>> writtenBy_;
    std::unordered_map<std::string, TallyWrite> writtenBefore_;
    std::unordered_map<std::string, std::deque<nlohmann::json>> componentWarnings_;  // the newest, bounded
    std::vector<std::pair<std::string, std::function<nlohmann::json()>>> parts_;
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_FACILITY_BACKEND_H
