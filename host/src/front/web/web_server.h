// web_server.h - `vesk-host --serve`: the facility in real time, watched and
// driven from a browser.
//
// Endpoints (docs/host.md has the details and curl examples):
//   GET  /              the live page (with /app.js and /style.css)
//   GET  /api/state     the snapshot (see live_backend.h)
//   GET  /api/events    server-sent events: first {"type":"hello","state":<snapshot>},
//                       then every event of the facility, one "data:" line each
//   POST /api/gpi | /api/info | /api/param | /api/event   (see api_requests.h)
//
// Access rules, checked before anything else:
//   - Host must name the bound port and localhost, 127.0.0.1, [::1] or the
//     bound address; on a wildcard address (0.0.0.0, ::) any IP literal.
//     A DNS name is refused (403): that is how DNS rebinding reaches a
//     loopback server.
//   - With a token every request carries it, as "Authorization: Bearer <t>"
//     or "?token=<t>" (401 otherwise). A non-loopback address always has one:
//     when none is given one is generated and printed with the URL.
//   - A POST that has an Origin header must come from the served origin
//     (http://<Host>), else 403. Browsers send Origin with every POST; a
//     request without one comes from a program such as curl.
//   - Bodies over 16 KiB: 413. Bad bodies: 400. Unknown component: 404.
#ifndef VESK_HOST_FRONT_WEB_WEB_SERVER_H
#define VESK_HOST_FRONT_WEB_WEB_SERVER_H

#include <ostream>

#include "front/web/live_backend.h"
#include "front/web/serve_options.h"

namespace vhost {
namespace web {

const int exitServeFailed = 2;

// Serves until SIGINT or SIGTERM arrives (or *options.stop turns true), then
// stops the HTTP server and returns 0; the caller then ends the components.
// Runs the facility on the calling thread: queued requests, and the clock
// following the wall clock from backend.now() on. Prints the URL to `log`
// ("vesk-host: live page at http://127.0.0.1:8080/"). Returns
// exitServeFailed when it cannot listen or the token is malformed.
int runLiveServer(LiveBackend& backend, const ServeOptions& options, std::ostream& log);

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_WEB_SERVER_H
