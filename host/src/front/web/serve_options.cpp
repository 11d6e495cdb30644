// serve_options.cpp - the [ADDR:]PORT argument, address classes and tokens.
#include "front/web/serve_options.h"

#include <algorithm>
#include <cstdint>
#include <random>

#include "platform/sockets.h"

namespace vhost {
namespace web {

namespace {

bool parsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535) return false;
    port = value;
    return true;
}

bool ipv4(const std::string& text, unsigned char (&bytes)[4]) {
    return ipv4Bytes(text, bytes);
}

bool ipv6(const std::string& text, unsigned char (&bytes)[16]) {
    return ipv6Bytes(text, bytes);
}

}  // namespace

bool parseServeAddress(const std::string& text, ServeOptions& options, std::string& error) {
    std::string address = options.address;
    std::string portText = text;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "expected [IPV6]:PORT, got '" + text + "'";
            return false;
        }
        address = text.substr(1, close - 1);
        portText = text.substr(close + 2);
        unsigned char bytes[16];
        if (!ipv6(address, bytes)) {
            error = "not an IPv6 address: '" + address + "'";
            return false;
        }
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
        unsigned char bytes[4];
        if (address.find(':') != std::string::npos) {
            error = "write an IPv6 address in brackets: [" + address + "]:PORT";
            return false;
        }
        if (address != "localhost" && !ipv4(address, bytes)) {
            error = "not an IP address: '" + address +
                    "' (give an IPv4 address, [IPv6] or localhost)";
            return false;
        }
    }
    int port = 0;
    if (!parsePort(portText, port)) {
        error = "not a port number (0 to 65535): '" + portText + "'";
        return false;
    }
    options.address = address;
    options.port = port;
    return true;
}

bool validToken(const std::string& token, std::string& error) {
    if (token.empty()) {
        error = "the token is empty";
        return false;
    }
    for (unsigned char c : token) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        if (!ok) {
            error = "the token may hold only letters, digits and - . _ ~";
            return false;
        }
    }
    return true;
}

bool isLoopbackAddress(const std::string& address) {
    if (address == "localhost") return true;
    unsigned char v4[4];
    if (ipv4(address, v4)) return v4[0] == 127;
    unsigned char v6[16];
    if (!ipv6(address, v6)) return false;
    static const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(v6, v6 + 16, loopback)) return true;
    return std::equal(v6, v6 + 12, mappedPrefix) && v6[12] == 127;
}

bool isWildcardAddress(const std::string& address) {
    unsigned char v4[4];
    if (ipv4(address, v4)) return v4[0] == 0 && v4[1] == 0 && v4[2] == 0 && v4[3] == 0;
    unsigned char v6[16];
    if (!ipv6(address, v6)) return false;
    for (unsigned char b : v6) {
        if (b != 0) return false;
    }
    return true;
}

std::string generateToken() {
    std::random_device random;
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 4; ++i) {
        std::uint32_t word = random();
        for (int j = 0; j < 8; ++j, word >>= 4) token += hex[word & 0xf];
    }
    return token;
}

}  // namespace web
}  // namespace vhost
