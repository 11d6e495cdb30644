// access_rules.h - who may talk to the live page's server (see web_server.h).
#ifndef VESK_HOST_FRONT_WEB_ACCESS_RULES_H
#define VESK_HOST_FRONT_WEB_ACCESS_RULES_H

#include <string>

namespace vhost {
namespace web {

struct AccessRules {
    std::string address;  // as bound: "127.0.0.1", "::1", "0.0.0.0", "localhost"
    int port = 0;         // the real port
    std::string token;    // empty: none needed
};

// What a request shows of itself; `origin` null when it has no Origin header.
struct RequestFacts {
    std::string method;
    std::string path;  // without the query
    std::string host;
    const std::string* origin = nullptr;
    std::string authorization;
    std::string queryToken;
};

struct Refusal {
    int status = 0;  // 0: allowed
    std::string message;
};

// In this order: Host (403), token (401), Origin (403). A request with an
// Origin must come from the served origin when it changes state (not GET or
// HEAD) or opens the event stream, which a foreign page could otherwise
// hold open to use up the server's streams.
Refusal checkAccess(const AccessRules& rules, const RequestFacts& request);

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_ACCESS_RULES_H
