// tsl_config.cpp - see tsl_config.h.
#include "bridges/tsl_config.h"

#include <set>

#include <boost/asio/ip/address.hpp>

#include "text/host_parsers.h"

namespace vhost {
namespace tsl {

namespace {

std::string located(const std::string& file, int line, const std::string& message) {
    return file + ":" + std::to_string(line) + ": " + message;
}

bool number(const std::string& text, std::int32_t low, std::int32_t high, std::int32_t& out) {
    const auto value = parseInt32(trim(text));
    if (!value || *value < low || *value > high) return false;
    out = *value;
    return true;
}

bool protocol(const std::string& text, Protocol& out) {
    const std::string word = lower(trim(text));
    if (word == "udp") out = Protocol::Udp;
    else if (word == "tcp") out = Protocol::Tcp;
    else return false;
    return true;
}

bool lamp(const std::string& text, Lamp& out) {
    if (text == "right") out = Lamp::Right;
    else if (text == "left") out = Lamp::Left;
    else if (text == "text") out = Lamp::Text;
    else return false;
    return true;
}

bool ipAddress(const std::string& text) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(text, ec);
    return !ec;
}

}  // namespace

std::string endpointText(const std::string& address, unsigned port) {
    return (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
           std::to_string(port);
}

const char* protocolName(Protocol protocol) {
    return protocol == Protocol::Udp ? "udp" : "tcp";
}

BridgeConfig parseBridges(std::istream& in, const std::string& file,
                          std::vector<std::string>& errors) {
    BridgeConfig config;
    enum class Kind { None, Out, In } kind = Kind::None;
    std::set<std::string> names;
    std::vector<bool> portGiven, targetGiven;
    std::string line;
    int lineNo = 0;
    auto check = [&](int at) {
        if (kind == Kind::Out) {
            const OutConfig& out = config.outs.back();
            if (out.device == 0) {
                errors.push_back(located(file, at, "[tsl_out." + out.name + "] needs device = N"));
            }
            if (out.port == 0) {
                errors.push_back(located(file, at, "[tsl_out." + out.name + "] needs port = N"));
            }
        } else if (kind == Kind::In && !targetGiven.back()) {
            errors.push_back(located(file, at,
                                     "[tsl_in." + config.ins.back().name +
                                         "] needs gpi = DEVICE or info = DEVICE"));
        } else if (kind == Kind::In && !portGiven.back()) {
            errors.push_back(located(file, at, "[tsl_in." + config.ins.back().name +
                                                   "] needs port = N (0: any free port)"));
        }
    };
    int sectionLine = 0;
    for (;;) {
        const LineRead read = readLine(in, line);
        if (read == LineRead::End) break;
        ++lineNo;
        if (read == LineRead::TooLong) break;  // the environment reader says so
        if (lineNo == 1) dropByteOrderMark(line);
        const std::string text = trim(line);
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text[0] == '[') {
            check(sectionLine);
            kind = Kind::None;
            if (text.back() != ']') continue;  // the environment reader says so
            const std::string section = trim(text.substr(1, text.size() - 2));
            const std::size_t dot = section.find('.');
            const std::string head = section.substr(0, dot);
            const std::string name = dot == std::string::npos ? "" : section.substr(dot + 1);
            if (head != "tsl_out" && head != "tsl_in") {
                // Only lower case is read: a bridge in any other spelling
                // would be silently missing.
                const std::string folded = lower(head);
                if (folded.compare(0, 3, "tsl") == 0) {
                    const std::string dotted = "." + (name.empty() ? "NAME" : name) + "]";
                    const std::string wanted =
                        folded.find("out") != std::string::npos  ? "[tsl_out" + dotted
                        : folded.find("in") != std::string::npos ? "[tsl_in" + dotted
                                                                  : "[tsl_in" + dotted +
                                                                        " or [tsl_out" + dotted;
                    errors.push_back(located(file, lineNo,
                                             "[" + section + "] is not a TSL section: write " +
                                                 wanted + " (in lower case)"));
                }
                continue;
            }
            sectionLine = lineNo;
            if (name.empty() || name.find_first_of(" \t") != std::string::npos) {
                errors.push_back(located(file, lineNo, "[" + head + ".NAME] needs a name without spaces"));
                continue;
            }
            if (!names.insert(name).second) {
                errors.push_back(located(file, lineNo, "TSL bridge " + name + " is declared twice"));
            }
            if (head == "tsl_out") {
                kind = Kind::Out;
                config.outs.emplace_back();
                config.outs.back().name = name;
            } else {
                kind = Kind::In;
                config.ins.emplace_back();
                config.ins.back().name = name;
                portGiven.push_back(false);
                targetGiven.push_back(false);
            }
            continue;
        }
        if (kind == Kind::None) continue;
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            errors.push_back(located(file, lineNo, "expected 'name = value'"));
            continue;
        }
        const std::string key = trim(text.substr(0, equals));
        std::string error;
        const auto parsed = parseValue(text.substr(equals + 1), error);
        if (!parsed) {
            errors.push_back(located(file, lineNo, error));
            continue;
        }
        const std::string& value = *parsed;
        std::int32_t n = 0;
        bool ok = true;
        std::string expected;
        if (key == "protocol") {
            Protocol p = Protocol::Udp;
            ok = protocol(value, p);
            expected = "udp or tcp";
            if (kind == Kind::Out) config.outs.back().protocol = p;
            else config.ins.back().protocol = p;
        } else if (key == "address") {
            // A name would have to be looked up, and might change or fail
            // while the rehearsal runs: the address is given as numbers.
            ok = ipAddress(value);
            expected = "an IP address such as 127.0.0.1 or 192.168.10.40 (" +
                       (value.empty() ? std::string("empty") : displayQuote(value)) +
                       " is not; host names are not looked up)";
            if (kind == Kind::Out) config.outs.back().address = value;
            else config.ins.back().address = value;
        } else if (key == "port") {
            ok = number(value, kind == Kind::Out ? 1 : 0, 65535, n);
            expected = kind == Kind::Out ? "a port from 1 to 65535" : "a port from 0 to 65535";
            if (kind == Kind::Out) {
                config.outs.back().port = static_cast<std::uint16_t>(n);
            } else {
                config.ins.back().port = static_cast<std::uint16_t>(n);
                portGiven.back() = ok;
            }
        } else if (key == "offset") {
            ok = number(value, -65535, 65535, n);
            expected = "a number from -65535 to 65535";
            if (kind == Kind::Out) config.outs.back().offset = n;
            else config.ins.back().offset = n;
        } else if (kind == Kind::Out) {
            OutConfig& out = config.outs.back();
            if (key == "device") {
                ok = number(value, 1, 0x7FFFFFFF, out.device);
                expected = "an info device number above 0";
            } else if (key == "screen") {
                ok = number(value, 0, 65535, n);
                expected = "a screen from 0 to 65535";
                out.screen = static_cast<std::uint16_t>(n);
            } else if (key == "lamps") {
                out.right = out.left = out.text = false;
                std::string words = value;
                for (char& c : words) {
                    if (c == ',') c = ' ';
                }
                std::size_t at = 0;
                int count = 0;
                expected = "right, left and/or text";
                while (ok && (at = words.find_first_not_of(' ', at)) != std::string::npos) {
                    const std::size_t end = std::min(words.find(' ', at), words.size());
                    Lamp which = Lamp::Right;
                    ok = lamp(words.substr(at, end - at), which);
                    (which == Lamp::Right ? out.right : which == Lamp::Left ? out.left : out.text) = true;
                    ++count;
                    at = end;
                }
                ok = ok && count > 0;
            } else if (key == "batch") {
                ok = value == "on" || value == "off";
                expected = "on or off";
                out.batch = value != "off";
            } else if (key.compare(0, 6, "label.") == 0 && number(key.substr(6), -0x7FFFFFFF, 0x7FFFFFFF, n)) {
                out.labels[n] = value;
            } else {
                errors.push_back(located(file, lineNo,
                                         "unknown TSL out setting '" + key +
                                             "' (device, protocol, address, port, screen, "
                                             "offset, lamps, batch, label.SLOT)"));
                continue;
            }
        } else {
            InConfig& bridge = config.ins.back();
            if (key == "gpi" || key == "info") {
                ok = number(value, 1, 0x7FFFFFFF, bridge.device);
                expected = "a device number above 0";
                if (targetGiven.back()) {
                    errors.push_back(located(file, lineNo, "give either gpi or info, once"));
                    continue;
                }
                targetGiven.back() = true;
                bridge.toGpi = key == "gpi";
            } else if (key == "screen") {
                bridge.anyScreen = value == "any";
                ok = bridge.anyScreen || number(value, 0, 65535, n);
                expected = "any or a screen from 0 to 65535";
                bridge.screen = static_cast<std::uint16_t>(n);
            } else if (key == "lamp") {
                ok = lamp(value, bridge.lamp);
                expected = "right, left or text";
            } else if (key == "level") {
                ok = value == "any" || number(value, 1, 3, n);
                expected = "any or a level from 1 to 3";
                bridge.level = value == "any" ? 0 : n;
            } else if (key.size() == 6 && key.compare(0, 5, "word.") == 0 && key[5] >= '0' &&
                       key[5] <= '3') {
                bridge.words[key[5] - '0'] = value;
                bridge.worded[key[5] - '0'] = true;
            } else {
                errors.push_back(located(file, lineNo,
                                         "unknown TSL in setting '" + key +
                                             "' (protocol, address, port, screen, gpi, info, "
                                             "offset, lamp, level, word.0 to word.3)"));
                continue;
            }
        }
        if (!ok) errors.push_back(located(file, lineNo, key + " must be " + expected));
    }
    check(sectionLine);
    return config;
}

}  // namespace tsl
}  // namespace vhost
