#include "timeline.h"

#include <cstdio>

#include "host_parsers.h"

namespace vhost {

const char* kindName(EventKind kind) {
    switch (kind) {
        case EventKind::Host:
            return "host";
        case EventKind::Notify:
            return "notify";
        case EventKind::Command:
            return "command";
        case EventKind::Reply:
            return "reply";
        case EventKind::Release:
            return "release";
        case EventKind::Diagnostic:
            return "diagnostic";
        case EventKind::State:
            return "state";
        case EventKind::Pass:
            return "pass";
        case EventKind::Failure:
            return "failure";
        case EventKind::Error:
            return "error";
    }
    return "?";
}

namespace {

// The direction column of the readable form.
const char* label(EventKind kind) {
    switch (kind) {
        case EventKind::Host:
            return "host";
        case EventKind::Notify:
            return "host>";
        case EventKind::Command:
            return "plugin>";
        case EventKind::Reply:
            return "reply";
        case EventKind::Release:
            return "back";
        case EventKind::Diagnostic:
            return "stderr";
        case EventKind::State:
            return "|";
        case EventKind::Pass:
            return "ok";
        case EventKind::Failure:
            return "FAIL";
        case EventKind::Error:
            return "ERROR";
    }
    return "?";
}

}  // namespace

void Timeline::event(EventKind kind, const std::string& text, int line) {
    const bool failure = kind == EventKind::Failure || kind == EventKind::Error;
    if (failure) ++failures_;
    if (mode_ == OutputMode::Quiet && !failure) return;

    if (mode_ == OutputMode::Json) {
        out_ << "{\"time_ms\":" << time_ << ",\"kind\":\"" << kindName(kind) << "\"";
        if (line > 0) out_ << ",\"line\":" << line;
        out_ << ",\"text\":" << jsonQuote(text) << "}\n";
        return;
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%6lld.%03lld", static_cast<long long>(time_ / 1000),
                  static_cast<long long>(time_ % 1000));
    out_ << stamp << "  ";
    const std::string tag = label(kind);
    out_ << tag << std::string(tag.size() < 8 ? 8 - tag.size() : 1, ' ');
    if (line > 0 && (failure || kind == EventKind::Pass)) out_ << "line " << line << ": ";
    out_ << text << "\n";
}

}  // namespace vhost
