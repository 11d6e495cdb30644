// web_server.h - `vesk-host --serve`: the facility in real time, watched and
// driven from a browser.
//
// Endpoints (docs/host.md has the details and curl examples):
//   GET  /              the live page (with /app.js and /style.css)
//   GET  /api/state     the snapshot (see live_backend.h)
//   GET  /api/events    server-sent events: first {"type":"hello","state":<snapshot>},
//                       then every event of the facility, one "data:" line each, and
//                       {"type":"heartbeat","time_ms":<facility time>} every second
//   GET  /api/recording the rehearsal recorded as a scenario (text)
//   POST /api/gpi | /api/info | /api/param | /api/event | /api/record   (see api_requests.h)
//
// Access rules, checked once a request's header is read and before anything
// else (access_rules.h): one Host field, a body neither in a transfer coding
// other than chunked nor compressed, then Host, token, Origin. Limits on connections and
// requests: http_session.h. Bodies over 16 KiB: 413. Bad bodies: 400.
// Unknown component: 404.
#ifndef VESK_HOST_FRONT_WEB_WEB_SERVER_H
#define VESK_HOST_FRONT_WEB_WEB_SERVER_H

#include <memory>
#include <ostream>
#include <string>

#include "front/web/live_backend.h"
#include "front/web/serve_options.h"

namespace vhost {
namespace web {

class LiveServer {
public:
    LiveServer();
    ~LiveServer();
    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    // Checks the options and takes the port, so that a busy port or a bad
    // token is known before anything runs. Nothing is answered until run().
    // False, with the reason in `error`, when it cannot.
    bool open(const ServeOptions& options, std::string& error);

    // Serves until the system asks the run to end (SIGINT or SIGTERM; on
    // Windows Ctrl-C or a closed console) or *options.stop turns true,
    // then closes every connection within moments and returns; the caller
    // then ends the components. Runs the facility and every connection on
    // the calling thread: queued requests, and the clock following the wall
    // clock from backend.now() on. Prints the URL to `log` ("vesk-host: live
    // page at http://127.0.0.1:8080/").
    void run(LiveBackend& backend, std::ostream& log);

    // The port taken by open() (the real one when asked for port 0).
    int port() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_WEB_SERVER_H
