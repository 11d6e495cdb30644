#include "timeline_printer.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "json_text.h"

namespace vhost {

namespace {

// The direction column of the readable form.
const char* label(EventKind kind) {
    switch (kind) {
        case EventKind::Host: return "host";
        case EventKind::Notify: return "host>";
        case EventKind::Command: return "plugin>";
        case EventKind::Reply: return "reply";
        case EventKind::Release: return "back";
        case EventKind::Diagnostic: return "stderr";
        case EventKind::State: return "|";
        case EventKind::Pass: return "ok";
        case EventKind::Failure: return "FAIL";
        case EventKind::Error: return "ERROR";
        case EventKind::Warning: return "WARN";
    }
    return "?";
}

void escapeByte(std::string& out, unsigned char byte) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02x", byte);
    out += buffer;
}

}  // namespace

std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[pos]);
        const std::size_t length = utf8SequenceLength(text, pos);
        if (byte == '\\') {
            // Escaped too, so that no text can read as an escape it is not.
            out += "\\\\";
            ++pos;
        } else if (length == 1 && byte >= 0x20 && byte != 0x7F) {
            out += text[pos++];
        } else if (byte == '\n') {
            out += "\\n";
            ++pos;
        } else if (byte == '\t') {
            out += "\\t";
            ++pos;
        } else if (byte == '\r') {
            out += "\\r";
            ++pos;
        } else if (length == 2 && byte == 0xC2 &&
                   static_cast<unsigned char>(text[pos + 1]) < 0xA0) {
            // U+0080..U+009F: C1 control codes, some of which terminals obey.
            escapeByte(out, byte);
            escapeByte(out, static_cast<unsigned char>(text[pos + 1]));
            pos += 2;
        } else if (length > 1) {
            out.append(text, pos, length);
            pos += length;
        } else {
            escapeByte(out, byte);
            ++pos;
        }
    }
    return out;
}

void TimelinePrinter::event(const Event& event) {
    const bool failure = event.kind == EventKind::Failure || event.kind == EventKind::Error;
    const bool warning = event.kind == EventKind::Warning;
    if (mode_ == OutputMode::Quiet && !failure && !warning) return;
    const bool named = showComponents_ && !event.component.empty();

    if (mode_ == OutputMode::Json) {
        nlohmann::ordered_json line;
        line["time_ms"] = event.time;
        line["kind"] = kindName(event.kind);
        if (event.line > 0) line["line"] = event.line;
        if (named) line["component"] = utf8Text(event.component);
        line["text"] = utf8Text(event.text);
        out_ << line.dump() << std::endl;
        return;
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%6lld.%03lld", static_cast<long long>(event.time / 1000),
                  static_cast<long long>(event.time % 1000));
    std::string text = stamp;
    text += "  ";
    const std::string tag = label(event.kind);
    text += tag;
    text.append(tag.size() < 8 ? 8 - tag.size() : 1, ' ');
    if (event.line > 0 && (failure || warning || event.kind == EventKind::Pass)) {
        text += "line " + std::to_string(event.line) + ": ";
    }
    if (named) text += "@" + printable(event.component) + " ";
    text += printable(event.text);
    out_ << text << std::endl;
}

}  // namespace vhost
