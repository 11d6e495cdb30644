// flush_pacing.h - when the page's events are written.
//
// A mixer's cut of thousands of cameras reaches the facility as several
// handoffs one after the other (a listener hands over what it has, then
// what came meanwhile). Writing the page's batch and the recording between
// two of them would hold back the lamps of the rest, so they are written
// once the facility thread has had no handoff for `quietGap`, and at the
// latest `longestWait` after the first change, however busy it stays.
#ifndef VESK_HOST_FRONT_WEB_FLUSH_PACING_H
#define VESK_HOST_FRONT_WEB_FLUSH_PACING_H

#include <algorithm>
#include <chrono>
#include <optional>

namespace vhost {
namespace web {

class FlushPacing {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds quietGap{1000};
    static constexpr std::chrono::milliseconds longestWait{20};

    // Something is to be written. True when a wait begins: fire() is then
    // due at the time given by `wakeAt`.
    bool ask(Clock::time_point now, Clock::time_point& wakeAt) {
        if (waiting_) return false;
        waiting_ = true;
        firstAsk_ = now;
        lastWork_ = now;
        wakeAt = now + quietGap;
        return true;
    }
    // A handoff ended on the facility thread: the burst goes on.
    void worked(Clock::time_point now) { lastWork_ = now; }
    // The wait is up: nothing (write now), or when to look again.
    std::optional<Clock::time_point> fire(Clock::time_point now) {
        const Clock::time_point quietAt = lastWork_ + quietGap;
        const Clock::time_point latest = firstAsk_ + longestWait;
        if (now >= quietAt || now >= latest) {
            waiting_ = false;
            return std::nullopt;
        }
        return std::min(quietAt, latest);
    }
    bool waiting() const { return waiting_; }

private:
    bool waiting_ = false;
    Clock::time_point firstAsk_{};
    Clock::time_point lastWork_{};
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_FLUSH_PACING_H
