// request_deadline.cpp - see request_deadline.h.
#include "front/web/request_deadline.h"

#include <chrono>

namespace vhost {
namespace web {

const char* const deadlineField = "X-Vesk-Deadline";

Refusal checkDeadline(const std::string& field, std::int64_t nowMs) {
    if (field.empty()) return {};
    // At most 15 digits: far beyond any date, and no overflow.
    bool digits = field.size() <= 15;
    for (const char c : field) digits = digits && c >= '0' && c <= '9';
    if (!digits) {
        return {400, std::string(deadlineField) + " must be milliseconds since 1970, in decimal"};
    }
    const std::int64_t deadline = std::stoll(field);
    if (nowMs <= deadline) return {};
    return {409, "the request reached the host " + std::to_string(nowMs - deadline) +
                     " ms after its deadline; it was not applied"};
}

std::int64_t wallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace web
}  // namespace vhost
