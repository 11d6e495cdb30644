// tsl_config.cpp - see tsl_config.h.
#include "bridges/tsl_config.h"

#include <set>

#include <boost/asio/ip/address.hpp>

#include "bridges/fields.h"
#include "text/host_parsers.h"

namespace vhost {
namespace tsl {

namespace {

std::string located(const std::string& file, int line, const std::string& message) {
    return file + ":" + std::to_string(line) + ": " + message;
}

bool protocol(const std::string& text, Protocol& out) {
    const std::string word = lower(trim(text));
    if (word == "udp") out = Protocol::Udp;
    else if (word == "tcp") out = Protocol::Tcp;
    else return false;
    return true;
}

bool ipAddress(const std::string& text) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(text, ec);
    return !ec;
}

struct Line {
    std::string key, value;
    int number;
};

// One section as it was read; its settings are taken once its version is known.
struct Section {
    bool out = false;
    std::string name;
    int line = 0;
    std::vector<Line> settings;
};

class SectionReader {
public:
    SectionReader(const std::string& file, BridgeConfig& config, std::vector<std::string>& errors)
        : file_(file), config_(config), errors_(errors) {}

    void read(const Section& section) {
        std::string version = defaultVersion;
        for (const Line& line : section.settings) {
            if (line.key != "version") continue;
            if (line.value != "5.0" && line.value != "3.1") {
                error(line.number, "version must be 5.0 or 3.1");
                continue;
            }
            version = line.value;
        }
        if (section.out) {
            readOut(section, version);
        } else {
            readIn(section, version);
        }
    }

private:
    void error(int line, const std::string& message) {
        errors_.push_back(located(file_, line, message));
    }
    void bad(const Line& line, const std::string& expected) {
        error(line.number, line.key + " must be " + expected);
    }

    // The settings every bridge has; false when `line` is none of them.
    template <typename Config>
    bool common(const Line& line, bool out, Config& config) {
        std::int32_t n = 0;
        if (line.key == "version") return true;
        if (line.key == "protocol") {
            if (!protocol(line.value, config.protocol)) bad(line, "udp or tcp");
        } else if (line.key == "address") {
            // A name would have to be looked up, and might change or fail
            // while the rehearsal runs: the address is given as numbers.
            config.address = line.value;
            if (!ipAddress(line.value)) {
                bad(line, "an IP address such as 127.0.0.1 or 192.168.10.40 (" +
                              (line.value.empty() ? std::string("empty") : displayQuote(line.value)) +
                              " is not; host names are not looked up)");
            }
        } else if (line.key == "port") {
            const bool ok = numberIn(line.value, out ? 1 : 0, 65535, n);
            config.port = static_cast<std::uint16_t>(n);
            if (!ok) bad(line, out ? "a port from 1 to 65535" : "a port from 0 to 65535");
            portGiven_ = ok;
        } else if (line.key == "offset") {
            if (!numberIn(line.value, -65535, 65535, config.offset)) {
                bad(line, "a number from -65535 to 65535");
            }
        } else {
            return false;
        }
        return true;
    }

    template <typename Codec>
    void own(const Line& line, Codec& codec, const char* direction) {
        std::string expected;
        const Setting setting = codec.setting(line.key, line.value, expected);
        if (setting == Setting::Bad) bad(line, expected);
        if (setting != Setting::Unknown) return;
        const std::string version = codec.version();
        error(line.number, "unknown TSL " +
                               (version == defaultVersion ? std::string() : version + " ") +
                               direction + " setting '" + line.key + "' (" +
                               codec.settingNames() + ")");
    }

    void readOut(const Section& section, const std::string& version) {
        config_.outs.emplace_back();
        OutConfig& out = config_.outs.back();
        out.name = section.name;
        std::unique_ptr<SenderCodec> codec = makeSender(version);
        portGiven_ = false;
        std::int32_t n = 0;
        for (const Line& line : section.settings) {
            if (common(line, true, out)) continue;
            if (line.key == "device") {
                if (!numberIn(line.value, 1, 0x7FFFFFFF, out.device)) {
                    bad(line, "an info device number above 0");
                }
            } else if (line.key == "batch") {
                if (line.value != "on" && line.value != "off") bad(line, "on or off");
                out.batch = line.value != "off";
            } else if (line.key.compare(0, 6, "label.") == 0 &&
                       numberIn(line.key.substr(6), -0x7FFFFFFF, 0x7FFFFFFF, n)) {
                out.labels[n] = line.value;
            } else {
                own(line, *codec, "out");
            }
        }
        out.codec = std::move(codec);
        if (out.device == 0) error(section.line, "[tsl_out." + out.name + "] needs device = N");
        if (out.port == 0) error(section.line, "[tsl_out." + out.name + "] needs port = N");
    }

    void readIn(const Section& section, const std::string& version) {
        config_.ins.emplace_back();
        InConfig& in = config_.ins.back();
        in.name = section.name;
        std::unique_ptr<ReceiverCodec> codec = makeReceiver(version);
        portGiven_ = false;
        bool targetGiven = false;
        const char highest = static_cast<char>('0' + codec->highestLevel());
        for (const Line& line : section.settings) {
            if (common(line, false, in)) continue;
            if (line.key == "gpi" || line.key == "info") {
                if (targetGiven) {
                    error(line.number, "give either gpi or info, once");
                    continue;
                }
                targetGiven = true;
                in.toGpi = line.key == "gpi";
                if (!numberIn(line.value, 1, 0x7FFFFFFF, in.device)) {
                    bad(line, "a device number above 0");
                }
            } else if (line.key.size() == 6 && line.key.compare(0, 5, "word.") == 0 &&
                       line.key[5] >= '0' && line.key[5] <= highest) {
                in.words[line.key[5] - '0'] = line.value;
                in.worded[line.key[5] - '0'] = true;
            } else {
                own(line, *codec, "in");
            }
        }
        in.codec = std::move(codec);
        if (!targetGiven) {
            error(section.line, "[tsl_in." + in.name + "] needs gpi = DEVICE or info = DEVICE");
        } else if (!portGiven_) {
            error(section.line, "[tsl_in." + in.name + "] needs port = N (0: any free port)");
        }
    }

    const std::string& file_;
    BridgeConfig& config_;
    std::vector<std::string>& errors_;
    bool portGiven_ = false;
};

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
    SectionReader reader(file, config, errors);
    std::set<std::string> names;
    Section section;
    bool inSection = false;
    auto finish = [&] {
        if (inSection) reader.read(section);
        inSection = false;
    };
    std::string line;
    int lineNo = 0;
    for (;;) {
        const LineRead read = readLine(in, line);
        if (read == LineRead::End) break;
        ++lineNo;
        if (read == LineRead::TooLong) break;  // the environment reader says so
        if (lineNo == 1) dropByteOrderMark(line);
        const std::string text = trim(line);
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text[0] == '[') {
            finish();
            if (text.back() != ']') continue;  // the environment reader says so
            const std::string name = trim(text.substr(1, text.size() - 2));
            const std::size_t dot = name.find('.');
            const std::string head = name.substr(0, dot);
            const std::string bridge = dot == std::string::npos ? "" : name.substr(dot + 1);
            if (head != "tsl_out" && head != "tsl_in") {
                // Only lower case is read: a bridge in any other spelling
                // would be silently missing.
                const std::string folded = lower(head);
                if (folded.compare(0, 3, "tsl") == 0) {
                    const std::string dotted = "." + (bridge.empty() ? "NAME" : bridge) + "]";
                    const std::string wanted =
                        folded.find("out") != std::string::npos  ? "[tsl_out" + dotted
                        : folded.find("in") != std::string::npos ? "[tsl_in" + dotted
                                                                  : "[tsl_in" + dotted +
                                                                        " or [tsl_out" + dotted;
                    errors.push_back(located(file, lineNo,
                                             "[" + name + "] is not a TSL section: write " +
                                                 wanted + " (in lower case)"));
                }
                continue;
            }
            if (bridge.empty() || bridge.find_first_of(" \t") != std::string::npos) {
                errors.push_back(located(file, lineNo, "[" + head + ".NAME] needs a name without spaces"));
                continue;
            }
            if (!names.insert(bridge).second) {
                errors.push_back(located(file, lineNo, "TSL bridge " + bridge + " is declared twice"));
            }
            section = Section{head == "tsl_out", bridge, lineNo, {}};
            inSection = true;
            continue;
        }
        if (!inSection) continue;
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            errors.push_back(located(file, lineNo, "expected 'name = value'"));
            continue;
        }
        std::string error;
        const auto value = parseValue(text.substr(equals + 1), error);
        if (!value) {
            errors.push_back(located(file, lineNo, error));
            continue;
        }
        section.settings.push_back({trim(text.substr(0, equals)), *value, lineNo});
    }
    finish();
    return config;
}

}  // namespace tsl
}  // namespace vhost
