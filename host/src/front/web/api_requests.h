// api_requests.h - the bodies of the requests that change the facility.
//
//   POST /api/gpi    {"device": 3, "input": 7, "state": 1}
//   POST /api/info   {"device": 20, "slot": 4, "text": "PROGRAM"}
//   POST /api/param  {"component": "cam1", "key": "tally_val=1"}
//   POST /api/event  {"component": "cam1", "control": "AlarmTest", "key": "click=1"}
//   POST /api/record {"on": true}
//
// A body is one JSON object with exactly these fields; numbers are JSON
// integers in the signed 32-bit range, a GPI state is 0 or 1, a text holds
// no NUL character (a scenario cannot hold one either). Anything else
// is refused with 400 and a message naming the field, before the facility
// is touched.
#ifndef VESK_HOST_FRONT_WEB_API_REQUESTS_H
#define VESK_HOST_FRONT_WEB_API_REQUESTS_H

#include <functional>
#include <string>

#include "front/web/live_backend.h"

namespace vhost {
namespace web {

using BackendCall = std::function<Outcome(LiveBackend&)>;

// True when `path` is one of the POST endpoints above.
bool isApiPost(const std::string& path);

// Reads the body for the endpoint `path`. On success sets `call` (to run on
// the facility thread) and returns true; otherwise fills `refusal` with the
// 400 answer.
bool readApiPost(const std::string& path, const std::string& body, BackendCall& call,
                 Outcome& refusal);

Outcome errorOutcome(int status, const std::string& message);

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_API_REQUESTS_H
