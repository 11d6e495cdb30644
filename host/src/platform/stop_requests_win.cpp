#include "platform/stop_requests.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <windows.h>

namespace vhost {

namespace {

// The console handler runs on a thread of its own, made by the system; it
// reaches the listening run through this state. A slim lock has no
// destructor, so the state stays usable while the process exits.
SRWLOCK stateLock = SRWLOCK_INIT;
boost::asio::io_context* listeningIo = nullptr;
std::function<void()>* listeningStop = nullptr;
bool handlerInstalled = false;

// Longer than the system waits for a console close (some seconds): the
// process ends on its own exit, or when the system's patience is up.
const DWORD closeGraceMs = 30000;

BOOL WINAPI onConsoleEvent(DWORD event) {
    ::AcquireSRWLockExclusive(&stateLock);
    if (listeningIo != nullptr) boost::asio::post(*listeningIo, *listeningStop);
    ::ReleaseSRWLockExclusive(&stateLock);
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            return TRUE;
        default:
            // CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT: the
            // process is ended when this returns; the run's own exit comes first.
            ::Sleep(closeGraceMs);
            return TRUE;
    }
}

}  // namespace

class StopRequests::Impl {
public:
    Impl(boost::asio::io_context& io, std::function<void()> stop) : stop_(std::move(stop)) {
        ::AcquireSRWLockExclusive(&stateLock);
        listeningIo = &io;
        listeningStop = &stop_;
        // Installed once and kept: a request during the cleanup after the
        // run is taken too, so that the cleanup is not cut short.
        if (!handlerInstalled) handlerInstalled = ::SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
        ::ReleaseSRWLockExclusive(&stateLock);
    }

    ~Impl() {
        ::AcquireSRWLockExclusive(&stateLock);
        if (listeningStop == &stop_) {
            listeningIo = nullptr;
            listeningStop = nullptr;
        }
        ::ReleaseSRWLockExclusive(&stateLock);
    }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

private:
    std::function<void()> stop_;
};

StopRequests::StopRequests(boost::asio::io_context& io, std::function<void()> stop)
    : impl_(std::make_unique<Impl>(io, std::move(stop))) {}

StopRequests::~StopRequests() = default;

}  // namespace vhost
