// facility_handoff.h - a bridge's socket thread hands work to the facility's
// thread and waits for it.
//
// The facility is not thread-safe: only its own thread touches it. A job is
// posted there (through the function the live loop provides) and the
// caller waits until it has run. A job not started within the timeout, or
// still waiting when the handoff closes, never runs and the call returns
// false; a job that has started is always waited for, so it may refer to
// the caller's locals.
#ifndef VESK_HOST_BRIDGES_FACILITY_HANDOFF_H
#define VESK_HOST_BRIDGES_FACILITY_HANDOFF_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

namespace vhost {
namespace tsl {

class FacilityHandoff {
public:
    using Post = std::function<void(std::function<void()>)>;
    explicit FacilityHandoff(Post post) : post_(std::move(post)) {}

    bool call(const std::function<void()>& job, std::chrono::milliseconds timeout) {
        auto task = std::make_shared<Task>();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) return false;
            waiting_.insert(task);
            post_([task, &job] {
                {
                    std::lock_guard<std::mutex> lock(task->mutex);
                    if (task->state != State::Queued) return;
                    task->state = State::Running;
                }
                try {
                    job();
                } catch (...) {
                }
                std::lock_guard<std::mutex> lock(task->mutex);
                task->state = State::Done;
                task->changed.notify_all();
            });
        }
        bool done = false;
        {
            std::unique_lock<std::mutex> lock(task->mutex);
            task->changed.wait_for(lock, timeout, [&] { return task->state != State::Queued; });
            if (task->state == State::Queued) task->state = State::Dropped;
            task->changed.wait(lock, [&] { return task->state != State::Running; });
            done = task->state == State::Done;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.erase(task);
        return done;
    }

    // From now on nothing runs: waiting callers return false, as do later calls.
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        for (const auto& task : waiting_) {
            std::lock_guard<std::mutex> taskLock(task->mutex);
            if (task->state == State::Queued) task->state = State::Dropped;
            task->changed.notify_all();
        }
    }

private:
    enum class State { Queued, Running, Done, Dropped };
    struct Task {
        std::mutex mutex;
        std::condition_variable changed;
        State state = State::Queued;
    };

    Post post_;
    std::mutex mutex_;
    std::set<std::shared_ptr<Task>> waiting_;
    bool closed_ = false;
};

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_FACILITY_HANDOFF_H
