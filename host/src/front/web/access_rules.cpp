// access_rules.cpp - see access_rules.h.
#include "front/web/access_rules.h"

#include <algorithm>

#include "front/web/serve_options.h"
#include "platform/sockets.h"
#include "text/host_parsers.h"

namespace vhost {
namespace web {

namespace {

// Splits "name:port", "[v6]:port" or "name" (port 80). False when malformed.
bool splitHost(const std::string& host, std::string& name, int& port) {
    std::string portText;
    if (!host.empty() && host[0] == '[') {
        const auto close = host.find(']');
        if (close == std::string::npos) return false;
        name = host.substr(0, close + 1);
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') return false;
            portText = host.substr(close + 2);
        }
    } else {
        const auto colon = host.find(':');
        name = host.substr(0, colon);
        if (colon != std::string::npos) portText = host.substr(colon + 1);
    }
    if (name.empty()) return false;
    if (portText.empty()) {
        port = 80;
        return true;
    }
    if (portText.size() > 5) return false;
    port = 0;
    for (char c : portText) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + (c - '0');
    }
    return true;
}

bool ipLiteral(const std::string& name) {
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        unsigned char bytes[16];
        return ipv6Bytes(name.substr(1, name.size() - 2), bytes);
    }
    unsigned char bytes[4];
    return ipv4Bytes(name, bytes);
}

bool hostAllowed(const AccessRules& rules, const std::string& host) {
    std::string name;
    int port = 0;
    if (!splitHost(lower(host), name, port) || port != rules.port) return false;
    if (name == "localhost" || name == "127.0.0.1" || name == "[::1]") return true;
    const bool v6 = rules.address.find(':') != std::string::npos;
    if (name == lower(v6 ? "[" + rules.address + "]" : rules.address)) return true;
    return isWildcardAddress(rules.address) && ipLiteral(name);
}

// Compares in time independent of where the texts differ.
bool sameSecret(const std::string& given, const std::string& secret) {
    unsigned char diff = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        diff |= static_cast<unsigned char>(given[i] ^ secret[i % secret.size()]);
    }
    return diff == 0;
}

// The codings named by a header's values: comma-separated, in any case,
// with blanks around; empty items are skipped.
std::vector<std::string> codings(const std::vector<std::string>& values) {
    std::vector<std::string> out;
    for (const auto& value : values) {
        std::size_t at = 0;
        while (at <= value.size()) {
            const auto comma = std::min(value.find(',', at), value.size());
            std::string item = lower(trim(value.substr(at, comma - at)));
            if (!item.empty()) out.push_back(std::move(item));
            at = comma + 1;
        }
    }
    return out;
}

}  // namespace

Refusal checkFraming(const RequestFraming& request) {
    if (request.hostFields > 1) {
        return {400, "the request has " + std::to_string(request.hostFields) +
                         " Host fields; one is allowed"};
    }
    const auto transfer = codings(request.transferEncodings);
    if (!request.transferEncodings.empty() &&
        (transfer.size() != 1 || transfer.front() != "chunked")) {
        std::string named;
        for (const auto& coding : transfer) named += (named.empty() ? "" : ", ") + coding;
        return {501, "Transfer-Encoding \"" + named +
                         "\" is not served; send the body with a length or plainly chunked"};
    }
    for (const auto& coding : codings(request.contentEncodings)) {
        if (coding != "identity") {
            return {415, "Content-Encoding \"" + coding +
                             "\" is not served; send the body as plain JSON text"};
        }
    }
    return {};
}

Refusal checkAccess(const AccessRules& rules, const RequestFacts& request) {
    if (!hostAllowed(rules, request.host)) {
        return {403, "Host \"" + request.host +
                         "\" is not this server's address; use http://127.0.0.1:" +
                         std::to_string(rules.port) + "/"};
    }
    if (!rules.token.empty()) {
        // The scheme is case-insensitive; the token is not.
        const std::string bearer = "bearer ";
        const std::string& auth = request.authorization;
        const bool headerOk = lower(auth.substr(0, bearer.size())) == bearer &&
                              sameSecret(auth.substr(bearer.size()), rules.token);
        if (!headerOk && !sameSecret(request.queryToken, rules.token)) {
            return {401, "a token is needed: \"Authorization: Bearer <token>\" or ?token=<token>"};
        }
    }
    const bool changes = request.method != "GET" && request.method != "HEAD";
    if ((changes || request.path == "/api/events") && request.origin != nullptr &&
        lower(*request.origin) != "http://" + lower(request.host)) {
        return {403, "Origin \"" + *request.origin + "\" may not " +
                         (changes ? "change this facility" : "open its event stream")};
    }
    return {};
}

}  // namespace web
}  // namespace vhost
