// request_deadline.h - a request the page sends carries the moment after
// which it must not be applied.
//
// A host that is frozen (stopped in a debugger, swapped out, behind a
// stalled network) still has its connections accepted by the system; what
// a page sent meanwhile would be applied when the host resumes, long after
// the operator was told it failed. The page says until when an action may
// be applied, on the host's wall clock (it learns the host's clock from
// its event stream), in the header below; past that the action is refused.
#ifndef VESK_HOST_FRONT_WEB_REQUEST_DEADLINE_H
#define VESK_HOST_FRONT_WEB_REQUEST_DEADLINE_H

#include <cstdint>
#include <string>

#include "front/web/access_rules.h"

namespace vhost {
namespace web {

// Milliseconds since 1970 on the host's wall clock, in decimal.
extern const char* const deadlineField;

// `field` as sent ("" when absent: no deadline); `nowMs` the host's wall
// clock. 400 when the field is not a number, 409 when the deadline passed.
Refusal checkDeadline(const std::string& field, std::int64_t nowMs);

// The host's wall clock in milliseconds since 1970.
std::int64_t wallClockMs();

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_REQUEST_DEADLINE_H
