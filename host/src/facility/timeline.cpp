#include "timeline.h"

#include <algorithm>

namespace vhost {

const char* kindName(EventKind kind) {
    switch (kind) {
        case EventKind::Host: return "host";
        case EventKind::Notify: return "notify";
        case EventKind::Command: return "command";
        case EventKind::Reply: return "reply";
        case EventKind::Release: return "release";
        case EventKind::Diagnostic: return "diagnostic";
        case EventKind::State: return "state";
        case EventKind::Pass: return "pass";
        case EventKind::Failure: return "failure";
        case EventKind::Error: return "error";
        case EventKind::Warning: return "warning";
    }
    return "?";
}

namespace {

bool routine(EventKind kind) {
    return kind != EventKind::Warning && kind != EventKind::Failure && kind != EventKind::Error &&
           kind != EventKind::Pass;
}

}  // namespace

void Timeline::event(EventKind kind, const std::string& text, int line,
                     const std::string& component) {
    if (kind == EventKind::Failure || kind == EventKind::Error) ++failures_;
    if (kind == EventKind::Warning) {
        ++warnings_;
        if (given_.size() < maxGiven) given_.push_back({text, component});
    }
    if (detailLimit_ != 0 && routine(kind) && detailGiven_++ >= detailLimit_) {
        detailGiven_ = detailLimit_;
        ++detailLeftOut_;
        return;
    }
    const Event event{time_, kind, text, line, component};
    for (TimelineSink* sink : sinks_) sink->event(event);
}

bool Timeline::expectWarning(const std::string& text, const std::string& component) {
    for (auto it = given_.begin(); it != given_.end(); ++it) {
        if (it->text.find(text) == std::string::npos) continue;
        if (!component.empty() && it->component != component) continue;
        given_.erase(it);
        ++expectedWarnings_;
        return true;
    }
    return false;
}

void Timeline::removeSink(TimelineSink* sink) {
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

}  // namespace vhost
