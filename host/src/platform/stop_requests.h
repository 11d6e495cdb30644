// stop_requests.h - how the system asks a live run to end, behind one face
// (one implementation file per platform):
//   POSIX     SIGINT (Ctrl-C) and SIGTERM;
//   Windows   Ctrl-C and Ctrl-Break, the closing of the console window, the
//             user logging off and a shutdown. The system ends a process
//             as soon as its handler of a console close returns, so that
//             handler holds on until the run has ended cleanly and the
//             process exits on its own (or the system's grace time is up).
#ifndef VESK_HOST_PLATFORM_STOP_REQUESTS_H
#define VESK_HOST_PLATFORM_STOP_REQUESTS_H

#include <functional>
#include <memory>

namespace boost {
namespace asio {
class io_context;
}  // namespace asio
}  // namespace boost

namespace vhost {

class StopRequests {
public:
    // From now on a request runs `stop` on the thread that runs `io`, as
    // one of its handlers. Only one StopRequests listens at a time.
    StopRequests(boost::asio::io_context& io, std::function<void()> stop);
    // Requests are no longer handed to `io`. A request that arrives while
    // the program finishes is taken and ignored, so that the cleanup goes on.
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vhost

#endif  // VESK_HOST_PLATFORM_STOP_REQUESTS_H
