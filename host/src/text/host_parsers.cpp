#include "text/host_parsers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <unordered_set>

namespace vhost {

namespace {

const char emptyText[] = "";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Names and ids match without regard to ASCII case, whatever locale a
// plug-in may have set (and without a call into the C library a character).
char lowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string located(const std::string& name, int line, const std::string& message) {
    return name + ":" + std::to_string(line) + ": " + message;
}

// The next line of the file `name`, trimmed, in `text`; false at the end,
// or at a line over the length limit (reported in `problems`, and the rest
// is not read). A byte order mark before the first line is dropped.
bool nextFileLine(std::istream& in, const std::string& name, int& lineNo, std::string& text,
                  std::vector<std::string>& problems) {
    std::string line;
    const LineRead read = readLine(in, line);
    if (read == LineRead::End) return false;
    ++lineNo;
    if (read == LineRead::TooLong) {
        problems.push_back(located(name, lineNo, "longer than " + std::to_string(maxLineLength) +
                                                     " characters; the rest is not read"));
        return false;
    }
    if (lineNo == 1) dropByteOrderMark(line);
    text = trim(line);
    return true;
}

// A component name that a scenario step can address: one word, printable.
bool addressableName(const std::string& text) {
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) return false;
    }
    return true;
}

// Reads a double-quoted stretch starting at text[pos] == '"'. On success pos
// stands after the closing quote.
bool readQuoted(const std::string& text, std::size_t& pos, std::string& out, std::string& error) {
    ++pos;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < text.size()) {
            const char next = text[pos + 1];
            switch (next) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                default:
                    error = std::string("unknown escape \\") + next;
                    return false;
            }
            pos += 2;
            continue;
        }
        out += c;
        ++pos;
    }
    error = "unterminated double quote";
    return false;
}

}  // namespace

LineRead readLine(std::istream& in, std::string& line) {
    line.clear();
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr || !in.good()) return LineRead::End;
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            return line.empty() ? LineRead::End : LineRead::Line;
        }
        if (c == '\n') break;
        if (line.size() >= maxLineLength) return LineRead::TooLong;
        line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return LineRead::Line;
}

void dropByteOrderMark(std::string& line) {
    if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
}

std::string trim(const std::string& text) {
    std::size_t first = 0;
    while (first < text.size() && isBlank(text[first])) ++first;
    std::size_t last = text.size();
    while (last > first && isBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::string lower(const std::string& text) {
    std::string result = text;
    for (char& c : result) c = lowerChar(c);
    return result;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerChar(a[i]) != lowerChar(b[i])) return false;
    }
    return true;
}

bool startsWithIgnoreCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoreCase(std::string_view(text).substr(0, prefix.size()), prefix);
}

std::string displayQuote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", u);
            out += buffer;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::optional<std::string> parseValue(const std::string& text, std::string& error) {
    const std::string trimmed = trim(text);
    if (trimmed.empty() || trimmed[0] != '"') return trimmed;
    std::size_t pos = 0;
    std::string out;
    if (!readQuoted(trimmed, pos, out, error)) return std::nullopt;
    if (pos != trimmed.size()) {
        error = "text after the closing double quote";
        return std::nullopt;
    }
    return out;
}

std::optional<std::vector<std::string>> splitWords(const std::string& line, std::string& error) {
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && isBlank(line[pos])) ++pos;
        if (pos >= line.size()) break;
        std::string word;
        while (pos < line.size() && !isBlank(line[pos])) {
            if (line[pos] == '"') {
                if (!readQuoted(line, pos, word, error)) return std::nullopt;
            } else {
                word += line[pos++];
            }
        }
        words.push_back(word);
    }
    return words;
}

bool parseCommand(const std::string& text, HostCommand& command, std::string& error) {
    // The storage of `command` is reused: a steady stream of commands
    // allocates nothing once it has seen its longest.
    std::size_t used = 0;
    std::string_view word;
    const char* problem = nullptr;
    const bool read = splitCommand(
        text, word,
        [&command, &used](std::string_view arg, bool quoted) {
            if (used == command.args.size()) command.args.emplace_back();
            HostCommand::Argument& taken = command.args[used++];
            taken.text.assign(arg.data(), arg.size());
            taken.quoted = quoted;
        },
        problem);
    command.word.assign(word.data(), word.size());
    if (!read) {
        error = problem;
        return false;
    }
    command.args.resize(used);
    return true;
}

std::optional<HostCommand> parseCommand(const std::string& text, std::string& error) {
    HostCommand command;
    if (!parseCommand(text, command, error)) return std::nullopt;
    return command;
}

DecodedKey::DecodedKey(const std::string& key) {
    record_.name = emptyText;
    for (auto& part : record_.parts) part = emptyText;
    record_.value = emptyText;
    record_.partCount = 0;
    record_.hasValue = false;
    record_.buffer = nullptr;
    if (key.empty()) return;

    storage_.assign(key.begin(), key.end());
    storage_.push_back('\0');
    char* buffer = storage_.data();
    record_.buffer = buffer;
    bool nameSet = false;
    // The same cuts a script makes when it decodes a key: '.' opens a part,
    // the first '=' opens the value, at most VESK_KEY_MAX_PARTS parts.
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (record_.partCount == VESK_KEY_MAX_PARTS) break;
        if (buffer[i] == '.') {
            if (!nameSet) {
                record_.name = buffer;
                nameSet = true;
            }
            buffer[i] = '\0';
            record_.parts[record_.partCount++] = buffer + i + 1;
        } else if (buffer[i] == '=') {
            if (!nameSet) {
                record_.name = buffer;
                nameSet = true;
            }
            buffer[i] = '\0';
            record_.hasValue = true;
            record_.value = buffer + i + 1;
            break;
        }
    }
    if (!nameSet) record_.name = buffer;
}

Environment parseEnvironment(std::istream& in, const std::string& name,
                             std::vector<std::string>& errors) {
    Environment env;
    enum class Kind { None, Instance, Info, Gpi, Component } kind = Kind::None;
    std::string instanceName;
    std::int32_t device = 0;
    std::string text;
    int lineNo = 0;
    bool sections = false;  // a section header was seen
    bool content = false;   // a line that is neither blank nor a comment
    bool foreign = false;   // a line that no INI file holds was reported
    std::unordered_set<std::string> componentNames;  // a facility may declare thousands
    while (nextFileLine(in, name, lineNo, text, errors)) {
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        content = true;
        if (text[0] == '[') {
            sections = true;
            kind = Kind::None;
            if (text.back() != ']') {
                errors.push_back(located(name, lineNo, "section header without ']'"));
                continue;
            }
            const std::string section = trim(text.substr(1, text.size() - 2));
            const std::size_t dot = section.find('.');
            const std::string head = section.substr(0, dot);
            const std::string rest = dot == std::string::npos ? "" : section.substr(dot + 1);
            if (head == "instances" && !rest.empty()) {
                kind = Kind::Instance;
                instanceName = rest;
                env.instances[instanceName];  // an empty section is an instance at device 0
            } else if (head == "info" || head == "gpi") {
                const auto number = parseInt32(rest);
                if (!number) {
                    errors.push_back(
                        located(name, lineNo, "[" + head + ".N] needs a device number"));
                    continue;
                }
                kind = head == "info" ? Kind::Info : Kind::Gpi;
                device = *number;
            } else if (head == "component") {
                if (rest.empty()) {
                    errors.push_back(located(name, lineNo, "[component.NAME] needs a name"));
                    continue;
                }
                if (!addressableName(rest)) {
                    errors.push_back(located(name, lineNo,
                                             "component name " + displayQuote(rest) +
                                                 " holds a space or control character; steps "
                                                 "address a component as one word, @NAME"));
                    continue;
                }
                if (!componentNames.insert(rest).second) {
                    errors.push_back(located(name, lineNo, "component " + rest + " is declared twice"));
                }
                kind = Kind::Component;
                DeclaredComponent declared;
                declared.name = rest;
                env.components.push_back(declared);
            }
            continue;
        }
        if (kind == Kind::None) {
            // Lines of other sections are other readers' business, but
            // before the first section only "name = value" belongs in an INI.
            if (!sections && !foreign && text.find('=') == std::string::npos) {
                foreign = true;
                errors.push_back(located(name, lineNo,
                                         "neither a [section] header nor 'name = value': "
                                         "is this an environment INI file?"));
            }
            continue;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            errors.push_back(located(name, lineNo, "expected 'name = value'"));
            continue;
        }
        const std::string key = trim(text.substr(0, equals));
        const std::string rawValue = text.substr(equals + 1);
        if (kind == Kind::Component) {
            DeclaredComponent& declared = env.components.back();
            std::string error;
            const auto value = parseValue(rawValue, error);
            if (!value) {
                errors.push_back(located(name, lineNo, error));
            } else if (key == "plugin") {
                declared.plugin = *value;
            } else if (key == "panels") {
                declared.panels = *value;
            } else if (key.compare(0, 6, "param.") == 0 && key.size() > 6) {
                declared.params.push_back(key.substr(6) + "=" + *value);
            } else {
                errors.push_back(located(name, lineNo,
                                         "unknown component setting '" + key +
                                             "' (plugin, panels or param.NAME)"));
            }
            continue;
        }
        if (kind == Kind::Instance) {
            Instance& instance = env.instances[instanceName];
            const std::string value = trim(rawValue);
            if (key == "device" || key == "offset") {
                const auto number = parseInt32(value);
                if (!number) {
                    errors.push_back(located(name, lineNo, key + " is not a number: " + value));
                    continue;
                }
                (key == "device" ? instance.device : instance.offset) = *number;
            } else if (key == "drvtype") {
                instance.drvtype = value;
            }
            // Other attributes are for other readers of the store.
            continue;
        }
        const auto index = parseInt32(key);
        if (!index) {
            errors.push_back(located(name, lineNo, "slot or input is not a number: " + key));
            continue;
        }
        if (kind == Kind::Info) {
            std::string error;
            const auto value = parseValue(rawValue, error);
            if (!value) {
                errors.push_back(located(name, lineNo, error));
                continue;
            }
            env.info[device][*index] = *value;
        } else {
            const auto state = parseInt32(trim(rawValue));
            if (!state) {
                errors.push_back(
                    located(name, lineNo, "GPI state is not a number: " + trim(rawValue)));
                continue;
            }
            env.gpi[device][*index] = *state;
        }
    }
    if (content && !sections && !foreign) {
        errors.push_back(name + ": no [section] header: is this an environment INI file?");
    }
    return env;
}

const std::string* Control::property(std::string_view name) const {
    for (const auto& entry : properties) {
        if (entry.first == name) return &entry.second;
    }
    return nullptr;
}

void Control::set(const std::string& name, const std::string& value) {
    for (auto& entry : properties) {
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    }
    properties.emplace_back(name, value);
}

Control* Layout::find(const std::string& id) {
    if (index_ && index_->size() == controls.size()) {
        const auto it = index_->find(lower(id));
        return it == index_->end() ? nullptr : &controls[it->second];
    }
    for (auto& control : controls) {
        if (equalsIgnoreCase(control.id, id)) return &control;
    }
    return nullptr;
}

void Layout::index() {
    auto ids = std::make_shared<std::unordered_map<std::string, std::size_t>>();
    ids->reserve(controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i) ids->emplace(lower(controls[i].id), i);
    index_ = std::move(ids);
}

const Control* Layout::find(const std::string& id) const {
    return const_cast<Layout*>(this)->find(id);
}

Layout parseLayout(std::istream& in, const std::string& name, std::vector<std::string>& warnings) {
    Layout layout;
    std::unordered_set<std::string> ids;
    std::string text;
    int lineNo = 0;
    while (nextFileLine(in, name, lineNo, text, warnings)) {
        if (text.empty() || text[0] == '#') continue;
        std::string error;
        const auto words = splitWords(text, error);
        if (!words) {
            warnings.push_back(located(name, lineNo, error));
            continue;
        }
        if ((*words)[0] != "control") {
            warnings.push_back(located(name, lineNo, "unknown keyword '" + (*words)[0] + "'"));
            continue;
        }
        if (words->size() < 2 || (*words)[1].empty() ||
            (*words)[1].find('=') != std::string::npos) {
            warnings.push_back(located(name, lineNo, "control without an id"));
            continue;
        }
        Control control;
        control.id = (*words)[1];
        if (ids.count(lower(control.id)) != 0) {
            warnings.push_back(located(
                name, lineNo, "control '" + control.id + "' is already defined (ids ignore case)"));
            continue;
        }
        bool good = true;
        for (std::size_t i = 2; i < words->size(); ++i) {
            const std::string& word = (*words)[i];
            const std::size_t equals = word.find('=');
            if (equals == std::string::npos || equals == 0) {
                warnings.push_back(
                    located(name, lineNo, "expected property=value, got '" + word + "'"));
                good = false;
                break;
            }
            control.set(word.substr(0, equals), word.substr(equals + 1));
        }
        if (good) {
            ids.insert(lower(control.id));
            layout.controls.push_back(std::move(control));
        }
    }
    layout.index();
    return layout;
}

}  // namespace vhost
