// serve_options.h - how `vesk-host --serve [ADDR:]PORT` is told where to listen.
#ifndef VESK_HOST_FRONT_WEB_SERVE_OPTIONS_H
#define VESK_HOST_FRONT_WEB_SERVE_OPTIONS_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace vhost {
namespace web {

struct ConnectionLimits;  // http_session.h

struct ServeOptions {
    // An IPv4 literal, an IPv6 literal without brackets, or "localhost".
    std::string address = "127.0.0.1";
    // 0 lets the system pick a free port; the URL printed names the real one.
    int port = 0;
    // Empty: no token. On a non-loopback address an empty token is replaced
    // by a generated one, which is printed with the URL.
    std::string token;
    // Set from another thread to end the server as SIGINT would.
    std::atomic<bool>* stop = nullptr;
    // Told, once serving has begun, how to hand a job to the facility's
    // thread from any other thread (it runs there soon, between other work);
    // told an empty function when serving ends, after which nothing handed
    // over runs. The TSL listeners hand what they receive to the facility
    // this way.
    std::function<void(std::function<void(std::function<void()>)>)> facilityThread;

    // The server's bounds and rhythm. Tests shorten them; null limits: the
    // defaults of http_session.h.
    const ConnectionLimits* limits = nullptr;
    std::size_t maxStreams = 16;                  // open event streams
    std::chrono::milliseconds heartbeatEvery{1000};  // on every event stream
};

// Reads "[ADDR:]PORT" ("8080", "0.0.0.0:8080", "[::1]:8080", "localhost:0")
// into `options`. On a malformed argument returns false and sets `error`.
bool parseServeAddress(const std::string& text, ServeOptions& options, std::string& error);

// A token may hold letters, digits and "-._~" (it travels in URLs as is).
bool validToken(const std::string& token, std::string& error);

// 127.0.0.0/8, ::1, ::ffff:127.x.y.z and "localhost".
bool isLoopbackAddress(const std::string& address);
// 0.0.0.0 and :: accept connections on every interface.
bool isWildcardAddress(const std::string& address);

// 32 hexadecimal digits from the system's random source.
std::string generateToken();

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_SERVE_OPTIONS_H
