// bridge_steps.cpp - the scenario steps of the bridges (see bridges.h):
// packets fed to a [tsl_in] and expectations of what a [tsl_out] sent.
#include "bridges/bridges.h"

#include <climits>
#include <map>

#include "bridges/fields.h"
#include "bridges/hex_bytes.h"
#include "text/host_parsers.h"

namespace vhost {
namespace tsl {

bool Bridges::claims(const std::string& line) const {
    auto startsWith = [&](const char* word) {
        const std::size_t n = std::char_traits<char>::length(word);
        return line.compare(0, n, word) == 0 &&
               (line.size() == n || line[n] == ' ' || line[n] == '\t');
    };
    if (startsWith("tsl")) return true;
    if (!startsWith("expect")) return false;
    const std::string rest = trim(line.substr(6));
    return rest.compare(0, 3, "tsl") == 0 && (rest.size() == 3 || rest[3] == ' ' || rest[3] == '\t');
}

Sender* Bridges::sender(const std::string& name) {
    for (auto& sender : senders_) {
        if (sender->config().name == name) return sender.get();
    }
    return nullptr;
}

Receiver* Bridges::receiver(const std::string& name, std::size_t* number) {
    for (std::size_t i = 0; i < receivers_.size(); ++i) {
        if (receivers_[i]->config().name != name) continue;
        if (number != nullptr) *number = i;
        return receivers_[i].get();
    }
    return nullptr;
}

void Bridges::run(const std::string& line, int lineNo, Facility&,
                  const std::function<void(bool held, const std::string& what)>& check) {
    std::string rest = trim(line.substr(line.compare(0, 6, "expect") == 0 ? 6 : 0));
    const bool expecting = line.compare(0, 6, "expect") == 0;
    rest = trim(rest.substr(3));
    const std::size_t space = rest.find_first_of(" \t");
    const std::string name = rest.substr(0, space);
    rest = space == std::string::npos ? "" : trim(rest.substr(space));
    if (name.empty()) {
        timeline_.event(EventKind::Error,
                        expecting ? "expect tsl <bridge> index=N ... | packets=N" : "tsl <bridge> hex|stream <bytes> | index=N ...",
                        lineNo);
        return;
    }
    if (expecting) {
        expect(name, rest, lineNo, check);
    } else {
        feed(name, rest, lineNo);
    }
}

void Bridges::feed(const std::string& name, const std::string& rest, int lineNo) {
    std::size_t number = 0;
    Receiver* target = receiver(name, &number);
    if (target == nullptr) {
        timeline_.event(EventKind::Error,
                        "no TSL input named " + displayQuote(name) + " (a [tsl_in." + name +
                            "] section)",
                        lineNo);
        return;
    }
    const std::size_t space = rest.find_first_of(" \t");
    const std::string how = rest.substr(0, space);
    const std::string bytesText = space == std::string::npos ? "" : rest.substr(space);
    std::vector<std::uint8_t> bytes;
    if (how == "hex" || how == "stream") {
        if (!parseHex(bytesText, bytes) || bytes.empty()) {
            timeline_.event(EventKind::Error, "expected bytes as hexadecimal digits", lineNo);
            return;
        }
        if (how == "hex") {
            receive(number, bytes.data(), bytes.size());
        } else {
            Packets packets;
            std::vector<Malformed> faults;
            target->stream().feed(
                bytes.data(), bytes.size(),
                [&](const std::uint8_t* data, std::size_t size) {
                    packets.emplace_back(data, data + size);
                },
                [&](Malformed kind) { faults.push_back(kind); });
            for (const auto& packet : packets) receive(number, packet.data(), packet.size());
            for (const Malformed fault : faults) dropped(number, fault);
        }
        return;
    }
    std::map<std::string, std::string> fields;
    std::string error;
    std::vector<std::uint8_t> packet;
    if (!fieldsOf(rest, fields, error) || !target->codec().packetOf(fields, packet, error)) {
        timeline_.event(EventKind::Error,
                        error + " (" + target->codec().stepFields() + ")", lineNo);
        return;
    }
    receive(number, packet.data(), packet.size());
}

void Bridges::expect(const std::string& name, const std::string& rest, int lineNo,
                     const std::function<void(bool held, const std::string& what)>& check) {
    Sender* out = sender(name);
    Receiver* in = receiver(name);
    std::map<std::string, std::string> fields;
    std::string error;
    if (out == nullptr && in == nullptr) {
        error = "no TSL bridge named " + displayQuote(name);
    } else if (!fieldsOf(rest, fields, error)) {
    } else if (fields.empty()) {
        std::string each = "[right=L] [left=L] [text=L]";
        if (out != nullptr) {
            each.clear();
            for (const auto& field : out->codec().fields(0)) {
                each += std::string(each.empty() ? "" : " ") + "[" + field.first + "=L]";
            }
        }
        error = "expect tsl NAME index=N " + each + " [label=TEXT] | packets=N | messages=N | "
                "dropped=N";
    }
    // Counters.
    static const char* const counters[] = {"packets", "messages", "dropped"};
    for (const char* counter : counters) {
        if (!error.empty() || fields.count(counter) == 0) continue;
        std::int32_t wanted = 0;
        if (!numberField(fields, counter, 0, INT32_MAX, wanted, error)) break;
        std::uint64_t got = 0;
        if (std::string(counter) == "dropped") {
            if (in == nullptr) {
                error = "dropped counts the packets of a [tsl_in]";
                break;
            }
            got = in->droppedCount();
        } else if (std::string(counter) == "messages") {
            if (out == nullptr) {
                error = "messages counts what a [tsl_out] sent";
                break;
            }
            got = out->messages();
        } else {
            got = out != nullptr ? out->packets() : in->acceptedCount();
        }
        check(got == static_cast<std::uint64_t>(wanted),
              "tsl " + name + " " + counter + " = " + std::to_string(wanted) +
                  (got == static_cast<std::uint64_t>(wanted) ? "" : ", got " + std::to_string(got)));
        fields.erase(counter);
    }
    if (!error.empty() || fields.empty()) {
        if (!error.empty()) timeline_.event(EventKind::Error, error, lineNo);
        return;
    }
    if (out == nullptr) {
        timeline_.event(EventKind::Error, "index=N checks what a [tsl_out] sent", lineNo);
        return;
    }
    // The fields of the sender's version: each a level, wanted or not (-1).
    const auto names = out->codec().fields(0);
    std::vector<std::int32_t> wanted(names.size(), -1);
    std::int32_t index = -1;
    bool ok = numberField(fields, "index", 0, 65535, index, error);
    for (std::size_t i = 0; ok && i < names.size(); ++i) {
        ok = numberField(fields, names[i].first, 0, 3, wanted[i], error);
    }
    for (const auto& field : fields) {
        bool known = field.first == "index" || field.first == "label";
        for (const auto& each : names) known = known || field.first == each.first;
        if (ok && !known) {
            error = "unknown field '" + field.first + "'";
            ok = false;
        }
    }
    if (ok && index < 0) error = "index=N is needed";
    if (!error.empty()) {
        timeline_.event(EventKind::Error, error, lineNo);
        return;
    }
    std::string what = "tsl " + name + " index " + std::to_string(index);
    for (const auto& each : names) {
        const auto it = fields.find(each.first);
        if (it != fields.end()) what += std::string(" ") + each.first + "=" + it->second;
    }
    const auto label = fields.find("label");
    if (label != fields.end()) what += " label=" + displayQuote(label->second);
    std::uint8_t level = 0;
    if (!out->lastSent(static_cast<std::uint16_t>(index), level)) {
        check(false, what + ", but nothing was sent for it");
        return;
    }
    const auto got = out->codec().fields(level);
    const std::string shown = out->codec().shown(out->label(static_cast<std::uint16_t>(index)));
    bool held = label == fields.end() || shown == label->second;
    std::string gotText;
    for (std::size_t i = 0; i < got.size(); ++i) {
        held = held && (wanted[i] < 0 || got[i].second == wanted[i]);
        gotText += std::string(got[i].first) + "=" + std::to_string(got[i].second) + " ";
    }
    check(held, what + (held ? "" : ", got " + gotText + "label=" + displayQuote(shown)));
}

}  // namespace tsl
}  // namespace vhost
