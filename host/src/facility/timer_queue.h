// timer_queue.h - every component's timers on the one simulated clock.
//
// Ticks come out in order of due time (ties in the order they were set), in
// O(log n) each. A timer that is restarted or stopped leaves its old entry
// behind; such entries are skipped when they come up, and the heap is
// rebuilt when they outnumber the live timers.
#ifndef VESK_HOST_FACILITY_TIMER_QUEUE_H
#define VESK_HOST_FACILITY_TIMER_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace vhost {

class TimerQueue {
public:
    struct Tick {
        std::size_t owner;  // the component's number in the facility
        std::int32_t id;
        std::int64_t due;
    };

    // Starts (or restarts) timer `id` of `owner`, first due at now + interval.
    void start(std::size_t owner, std::int32_t id, std::int32_t interval, std::int64_t now);
    void stop(std::size_t owner, std::int32_t id);
    void stopAll(std::size_t owner);
    bool running(std::size_t owner, std::int32_t id) const;

    // The next tick due at or before `limit`, taken out of the queue and the
    // timer rescheduled one interval on.
    std::optional<Tick> next(std::int64_t limit);
    // Moves every timer due at or before `limit` to its first tick after it
    // (ticks that could not be delivered are skipped, not bunched up).
    void skipTo(std::int64_t limit);

    // Timers of `owner`: id -> (interval, next due), for display.
    std::vector<std::pair<std::int32_t, std::pair<std::int32_t, std::int64_t>>> timersOf(
        std::size_t owner) const;
    std::size_t size() const { return live_.size(); }

private:
    struct Live {
        std::int32_t interval;
        std::int64_t due;
        std::uint64_t generation;
    };
    struct Entry {
        std::int64_t due;
        std::uint64_t order;
        std::size_t owner;
        std::int32_t id;
        std::uint64_t generation;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due != b.due ? a.due > b.due : a.order > b.order;
        }
    };
    void push(std::size_t owner, std::int32_t id, const Live& live);
    void rebuild();

    std::map<std::pair<std::size_t, std::int32_t>, Live> live_;
    std::vector<Entry> heap_;
    std::uint64_t order_ = 0;
    std::uint64_t generation_ = 0;
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_TIMER_QUEUE_H
