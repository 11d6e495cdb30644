// The operating-system services of vesk-host where POSIX and Windows differ.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "platform/platform.h"
#include "platform/stop_requests.h"

namespace {

#ifdef _WIN32
const bool windows = true;
#else
const bool windows = false;
#endif

TEST(Platform, AbsolutePathsAsTheSystemReadsThem) {
    struct Case {
        const char* path;
        bool posix;
        bool windows;
    };
    const Case cases[] = {
        {"/tmp/facility.ini", true, true},
        {"facility.ini", false, false},
        {"../env/facility.ini", false, false},
        {"", false, false},
        {"C:\\rehearsals\\facility.ini", false, true},
        {"Z:/rehearsals/facility.ini", false, true},
        {"\\\\studio\\share\\facility.ini", false, true},
        {"\\rehearsals\\facility.ini", false, true},
        // Relative to the current folder of drive C: not absolute anywhere.
        {"C:facility.ini", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vhost::isAbsolutePath(c.path), windows ? c.windows : c.posix) << c.path;
    }
}

// Windows' console events need a console, which a test run does not have;
// there the web tests stop vesk-host.exe with Ctrl-C under Wine.
TEST(Platform, StopRequestRunsStopOnTheLoopThread) {
    if (windows) GTEST_SKIP() << "console events need a console";
    for (const int signal : {SIGINT, SIGTERM}) {
        boost::asio::io_context io(1);
        int stops = 0;
        vhost::StopRequests requests(io, [&] {
            ++stops;
            io.stop();
        });
        boost::asio::post(io, [signal] { std::raise(signal); });
        // Bounded: without the stop the loop would end here, with none counted.
        boost::asio::steady_timer limit(io, std::chrono::seconds(5));
        limit.async_wait([&](boost::system::error_code) { io.stop(); });
        io.run();
        EXPECT_EQ(stops, 1) << "signal " << signal;
    }
}

}  // namespace
