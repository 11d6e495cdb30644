// facility_queue.cpp - see facility_queue.h.
#include "front/web/facility_queue.h"

#include <algorithm>

namespace vhost {
namespace web {

bool FacilityQueue::call(std::function<void()> job, std::chrono::milliseconds timeout) {
    auto task = std::make_shared<Task>();
    task->job = std::move(job);
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return false;
    tasks_.push_back(task);
    queued_.notify_one();
    finished_.wait_for(lock, timeout, [&] { return task->state != State::Queued; });
    if (task->state == State::Queued) {
        tasks_.erase(std::find(tasks_.begin(), tasks_.end(), task));
        return false;
    }
    finished_.wait(lock, [&] { return task->state != State::Running; });
    return task->state == State::Done;
}

void FacilityQueue::runUntil(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait_until(lock, until, [&] { return !tasks_.empty() || woken_ || closed_; });
        if (tasks_.empty() || closed_) break;
        auto task = tasks_.front();
        tasks_.pop_front();
        task->state = State::Running;
        lock.unlock();
        // A job reports its own errors; one that throws is still finished.
        try {
            task->job();
        } catch (...) {
        }
        lock.lock();
        task->state = State::Done;
        finished_.notify_all();
    }
    woken_ = false;
}

void FacilityQueue::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    queued_.notify_one();
}

void FacilityQueue::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (auto& task : tasks_) task->state = State::Dropped;
    tasks_.clear();
    finished_.notify_all();
    queued_.notify_all();
}

}  // namespace web
}  // namespace vhost
