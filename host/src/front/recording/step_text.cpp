#include "front/recording/step_text.h"

#include <cstddef>
#include <vector>

#include "platform/platform.h"

namespace vhost {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> pathParts(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : path) {
        if (c == '/' || c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

// Printable ASCII that a reader of the line (a person, an editor, the
// scenario reader) takes as it is: no blank, quote, backslash or '#'.
bool plainByte(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != '"' && c != '\\' && c != '#';
}

}  // namespace

std::string scenarioValue(const std::string& text) {
    std::string value;
    appendScenarioValue(value, text);
    return value;
}

void appendScenarioValue(std::string& out, std::string_view text) {
    bool bare = !text.empty();
    for (const char c : text) bare = bare && plainByte(c);
    if (bare) {
        out += text;
        return;
    }
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default: out += c;
        }
    }
    out += '"';
}

std::optional<std::string> sentPattern(const std::string& command) {
    std::string pattern;
    if (!appendSentPattern(pattern, command)) return std::nullopt;
    return pattern;
}

bool appendSentPattern(std::string& out, std::string_view command) {
    // Kept up to a line break, or up to a quoted absolute path: "'/..."
    // or "'C:\..." / "'C:/...". One pass: a recording holds a line for each
    // command of every component in a mixer's cut.
    std::size_t keep = 0;
    for (; keep < command.size(); ++keep) {
        const char c = command[keep];
        if (c == '\r' || c == '\n') break;
        if (c != '\'') continue;
        const std::string_view rest = command.substr(keep + 1, 3);
        const bool rooted = (!rest.empty() && (rest[0] == '/' || rest[0] == '\\')) ||
                            (rest.size() == 3 && rest[1] == ':' && (rest[2] == '/' || rest[2] == '\\'));
        if (rooted) {
            ++keep;
            break;
        }
    }
    while (keep > 0 && isBlank(command[keep - 1])) --keep;
    if (keep == 0 || isBlank(command[0])) return false;
    out += command.substr(0, keep);
    if (keep != command.size()) out += '*';
    return true;
}

std::string pathFrom(const std::string& from, const std::string& path) {
    const std::string target = absolutePath(path);
    const std::string base = absolutePath(from);
    const std::vector<std::string> targetParts = pathParts(target);
    const std::vector<std::string> baseParts = pathParts(base);
    // On Windows the first part is the drive: paths on two drives stay absolute.
    if (target.empty() || base.empty() || target[0] != base[0] || targetParts.empty() ||
        baseParts.empty() || (target[0] != '/' && targetParts[0] != baseParts[0])) {
        return target;
    }
    std::size_t common = 0;
    while (common < targetParts.size() && common < baseParts.size() &&
           targetParts[common] == baseParts[common]) {
        ++common;
    }
    // Sharing no more than the root (or the drive), they are far apart.
    if (common == 0 || (common == 1 && target[0] != '/')) return target;
    std::string relative;
    for (std::size_t i = common; i < baseParts.size(); ++i) relative += "../";
    for (std::size_t i = common; i < targetParts.size(); ++i) {
        relative += targetParts[i];
        if (i + 1 < targetParts.size()) relative += "/";
    }
    return relative.empty() ? "." : relative;
}

}  // namespace vhost
