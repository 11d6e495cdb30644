// timeline.h - what vesk-host reports while it runs.
//
// Every event carries the simulated time, a kind and a text. The readable
// form prints one line per event; the JSON form prints one object per event
// for tools; the quiet form prints only failures.
#ifndef VESK_HOST_TIMELINE_H
#define VESK_HOST_TIMELINE_H

#include <cstdint>
#include <ostream>
#include <string>

namespace vhost {

enum class OutputMode { Readable, Json, Quiet };

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
    Error        // a scenario line that could not be run
};

class Timeline {
public:
    Timeline(std::ostream& out, OutputMode mode) : out_(out), mode_(mode) {}

    void setTime(std::int64_t ms) { time_ = ms; }
    std::int64_t time() const { return time_; }

    // `line` is the scenario line the event belongs to, 0 for none.
    void event(EventKind kind, const std::string& text, int line = 0);

    int failures() const { return failures_; }

private:
    std::ostream& out_;
    OutputMode mode_;
    std::int64_t time_ = 0;
    int failures_ = 0;
};

const char* kindName(EventKind kind);

}  // namespace vhost

#endif  // VESK_HOST_TIMELINE_H
