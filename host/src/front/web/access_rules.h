// access_rules.h - who may talk to the live page's server (see web_server.h).
#ifndef VESK_HOST_FRONT_WEB_ACCESS_RULES_H
#define VESK_HOST_FRONT_WEB_ACCESS_RULES_H

#include <cstddef>
#include <string>
#include <vector>

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

// How a request's header says its body is framed and encoded: the values
// of each of its Transfer-Encoding and Content-Encoding fields, as sent.
struct RequestFraming {
    std::size_t hostFields = 1;
    std::vector<std::string> transferEncodings;
    std::vector<std::string> contentEncodings;
};

// Checked before the access rules, as a request that fails these cannot be
// read as meant: a repeated Host (400; which one would the rules judge?),
// a transfer coding other than plain "chunked" (501), a content coding
// other than "identity" (415: bodies are read as JSON text as they come).
Refusal checkFraming(const RequestFraming& request);

// In this order: Host (403), token (401), Origin (403). A request with an
// Origin must come from the served origin when it changes state (not GET or
// HEAD) or opens the event stream, which a foreign page could otherwise
// hold open to use up the server's streams.
Refusal checkAccess(const AccessRules& rules, const RequestFacts& request);

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_ACCESS_RULES_H
