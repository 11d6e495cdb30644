// io_thread.h - a Boost.Asio io_context on a thread of its own, for the
// sockets of the bridges.
#ifndef VESK_HOST_BRIDGES_IO_THREAD_H
#define VESK_HOST_BRIDGES_IO_THREAD_H

#include <future>
#include <thread>

#include <boost/asio.hpp>

namespace vhost {
namespace tsl {

// Runs an io_context on a thread of its own until stopped.
class IoThread {
public:
    boost::asio::io_context io;
    void start() {
        if (thread_.joinable()) return;
        thread_ = std::thread([this] { io.run(); });
    }
    bool running() const { return thread_.joinable(); }
    // Runs `job` on the io thread and waits for its result.
    template <typename Job>
    auto call(Job job) -> decltype(job()) {
        std::packaged_task<decltype(job())()> task(std::move(job));
        auto result = task.get_future();
        boost::asio::post(io, [&task] { task(); });
        return result.get();
    }
    void join() {
        work_.reset();
        if (thread_.joinable()) thread_.join();
    }

private:
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_ =
        boost::asio::make_work_guard(io);
    std::thread thread_;
};

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_IO_THREAD_H
