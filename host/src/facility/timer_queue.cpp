#include "timer_queue.h"

#include <algorithm>

namespace vhost {

void TimerQueue::push(std::size_t owner, std::int32_t id, const Live& live) {
    heap_.push_back(Entry{live.due, order_++, owner, id, live.generation});
    std::push_heap(heap_.begin(), heap_.end(), Later());
    if (heap_.size() > 2 * live_.size() + 1024) rebuild();
}

void TimerQueue::rebuild() {
    heap_.clear();
    for (const auto& entry : live_) {
        heap_.push_back(Entry{entry.second.due, order_++, entry.first.first, entry.first.second,
                              entry.second.generation});
    }
    std::make_heap(heap_.begin(), heap_.end(), Later());
}

void TimerQueue::start(std::size_t owner, std::int32_t id, std::int32_t interval,
                       std::int64_t now) {
    Live& live = live_[{owner, id}];
    live = Live{interval, now + interval, ++generation_};
    push(owner, id, live);
}

void TimerQueue::stop(std::size_t owner, std::int32_t id) { live_.erase({owner, id}); }

void TimerQueue::stopAll(std::size_t owner) {
    live_.erase(live_.lower_bound({owner, INT32_MIN}), live_.upper_bound({owner, INT32_MAX}));
}

bool TimerQueue::running(std::size_t owner, std::int32_t id) const {
    return live_.count({owner, id}) != 0;
}

std::optional<TimerQueue::Tick> TimerQueue::next(std::int64_t limit) {
    while (!heap_.empty()) {
        const Entry top = heap_.front();
        const auto it = live_.find({top.owner, top.id});
        if (it == live_.end() || it->second.generation != top.generation) {
            std::pop_heap(heap_.begin(), heap_.end(), Later());
            heap_.pop_back();
            continue;
        }
        if (top.due > limit) return std::nullopt;
        std::pop_heap(heap_.begin(), heap_.end(), Later());
        heap_.pop_back();
        it->second.due = top.due + it->second.interval;
        push(top.owner, top.id, it->second);
        return Tick{top.owner, top.id, top.due};
    }
    return std::nullopt;
}

void TimerQueue::skipTo(std::int64_t limit) {
    for (auto& entry : live_) {
        Live& live = entry.second;
        if (live.due <= limit) live.due += ((limit - live.due) / live.interval + 1) * live.interval;
    }
    rebuild();
}

std::vector<std::pair<std::int32_t, std::pair<std::int32_t, std::int64_t>>> TimerQueue::timersOf(
    std::size_t owner) const {
    std::vector<std::pair<std::int32_t, std::pair<std::int32_t, std::int64_t>>> timers;
    for (auto it = live_.lower_bound({owner, INT32_MIN});
         it != live_.end() && it->first.first == owner; ++it) {
        timers.push_back({it->first.second, {it->second.interval, it->second.due}});
    }
    return timers;
}

}  // namespace vhost
