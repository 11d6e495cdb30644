// timeline.h - what happens in the facility, as a stream of events.
//
// Every event carries the simulated time, a kind, a text, the scenario line
// it belongs to (0 for none) and the component it concerns (empty for the
// facility itself). The timeline counts failures and warnings and hands
// each event to its sinks: the printers of the front ends, the live page.
#ifndef VESK_HOST_FACILITY_TIMELINE_H
#define VESK_HOST_FACILITY_TIMELINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vhost {

enum class EventKind {
    Host,        // something the host did or noticed
    Notify,      // host -> plug-in: a notification
    Command,     // plug-in -> host: a command text
    Reply,       // host -> plug-in: the reply to a command, or plug-in -> host: a request's reply
    Release,     // a reply handed back
    Diagnostic,  // a text the plug-in wrote to its diagnostic output
    State,       // a line of panel or slot state (show)
    Pass,        // an expect line that held
    Failure,     // an expect line that failed, or a protocol fault
    Error,       // a scenario line that could not be run
    Warning      // something that works here but is a mistake on a real facility
};

const char* kindName(EventKind kind);

struct Event {
    std::int64_t time;
    EventKind kind;
    const std::string& text;
    int line;
    const std::string& component;
};

class TimelineSink {
public:
    virtual ~TimelineSink() = default;
    virtual void event(const Event& event) = 0;
};

class Timeline {
public:
    void setTime(std::int64_t ms) { time_ = ms; }
    std::int64_t time() const { return time_; }

    void event(EventKind kind, const std::string& text, int line = 0,
               const std::string& component = std::string());

    // Whether anything listens: texts of routine events need not be built
    // otherwise. Past the detail limit of a batch (see limitDetail), routine
    // events are not wanted either; each call that says so counts one left
    // out, so callers ask once per event they would have given.
    bool wanted() {
        if (sinks_.empty()) return false;
        if (detailLimit_ == 0 || detailGiven_ < detailLimit_) return true;
        ++detailLeftOut_;
        return false;
    }
    void addSink(TimelineSink* sink) { sinks_.push_back(sink); }
    void removeSink(TimelineSink* sink);

    // A live run: at most `perBatch` routine events (host, notify, command,
    // reply, release, diagnostic, state lines) are given to the sinks between
    // two calls of takeLeftOut; the rest are only counted. Warnings,
    // failures, errors and expectations always pass. 0: no limit (a
    // scenario run, which prints every event).
    void limitDetail(std::size_t perBatch) { detailLimit_ = perBatch; }
    // Routine events left out since the last call; starts a new batch.
    std::uint64_t takeLeftOut() {
        const std::uint64_t count = detailLeftOut_;
        detailLeftOut_ = 0;
        detailGiven_ = 0;
        return count;
    }

    int failures() const { return failures_; }
    int warnings() const { return warnings_; }

    // Warnings a scenario expected ("expect warning"): they are still shown
    // and counted, but are no failure under --strict.
    // Takes the first warning given since the last forgetWarnings whose text
    // contains `text` (and, unless `component` is empty, that concerns it).
    bool expectWarning(const std::string& text, const std::string& component);
    // Called at each expectation: earlier warnings can no longer be expected.
    void forgetWarnings() { given_.clear(); }
    int expectedWarnings() const { return expectedWarnings_; }

private:
    struct GivenWarning {
        std::string text;
        std::string component;
    };
    // Warnings since the last forgetWarnings, at most maxGiven of them.
    static constexpr std::size_t maxGiven = 1024;
    std::vector<GivenWarning> given_;
    int expectedWarnings_ = 0;
    std::vector<TimelineSink*> sinks_;  // not owned
    std::int64_t time_ = 0;
    int failures_ = 0;
    int warnings_ = 0;
    std::size_t detailLimit_ = 0;
    std::size_t detailGiven_ = 0;
    std::uint64_t detailLeftOut_ = 0;
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_TIMELINE_H
