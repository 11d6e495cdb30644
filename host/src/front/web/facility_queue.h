// facility_queue.h - hands work from the HTTP threads to the facility thread.
//
// The facility is not thread-safe: everything that touches it runs on the
// one thread that runs runLiveServer's loop. An HTTP thread queues a job and
// waits for it; the facility thread runs queued jobs between clock steps.
#ifndef VESK_HOST_FRONT_WEB_FACILITY_QUEUE_H
#define VESK_HOST_FRONT_WEB_FACILITY_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace vhost {
namespace web {

class FacilityQueue {
public:
    using Clock = std::chrono::steady_clock;

    // From any thread but the facility's: runs `job` on the facility thread
    // and returns true once it has run. Returns false, and the job never
    // runs, when it was not started within `timeout` or the queue is closed.
    // A job that has started is always waited for, so it may refer to the
    // caller's locals.
    bool call(std::function<void()> job, std::chrono::milliseconds timeout);

    // On the facility thread: runs queued jobs as they come until `until`,
    // or until `wake()` is called.
    void runUntil(Clock::time_point until);
    void wake();

    // Runs nothing from now on: queued jobs are dropped and their callers
    // return false, as do later calls.
    void close();

private:
    enum class State { Queued, Running, Done, Dropped };
    struct Task {
        std::function<void()> job;
        State state = State::Queued;
    };

    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Task>> tasks_;
    bool closed_ = false;
    bool woken_ = false;
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_FACILITY_QUEUE_H
