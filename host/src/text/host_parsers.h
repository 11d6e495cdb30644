// host_parsers.h - the texts vesk-host reads: command texts sent by a
// plug-in, event keys, the environment INI file and the panel layout file.
//
// Everything here is pure: it takes text and returns values or error
// messages, so it can be tested without a plug-in.
#ifndef VESK_HOST_PARSERS_H
#define VESK_HOST_PARSERS_H

#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text/command_reader.h"
#include "vesk_host_abi.h"

namespace vhost {

// ---- small text helpers -------------------------------------------------

// The longest line the host reads from any of its files.
const std::size_t maxLineLength = 65536;
enum class LineRead { Line, End, TooLong };
// Reads one line of at most maxLineLength characters (the line feed and a
// carriage return before it not counted, nor kept).
LineRead readLine(std::istream& in, std::string& line);
// Drops a UTF-8 byte order mark from the start of `line`.
void dropByteOrderMark(std::string& line);

std::string trim(const std::string& text);
std::string lower(const std::string& text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(const std::string& text, const std::string& prefix);
// A text shown inside double quotes in the readable output: line feeds and
// other control characters become escapes.
std::string displayQuote(const std::string& text);

// A value as written in the host's own files: either the trimmed text, or a
// text in double quotes in which \n, \t, \" and \\ are escapes. Returns
// nullopt (and sets `error`) for an unterminated quote or text after it.
std::optional<std::string> parseValue(const std::string& text, std::string& error);

// Splits a line into words at spaces and tabs. A double quote opens a quoted
// stretch (escapes as in parseValue) that may hold spaces; it may start in
// the middle of a word, as in text="On Air".
std::optional<std::vector<std::string>> splitWords(const std::string& line, std::string& error);

// ---- command texts from a plug-in ----------------------------------------

// One command: its word and its arguments. A quoted argument is the text
// between an opening apostrophe and the first apostrophe that is followed by
// a space or ends the text, so apostrophes inside a text (which a plug-in
// sends unescaped) survive as long as no space follows them.
struct HostCommand {
    std::string word;
    struct Argument {
        std::string text;
        bool quoted = false;
    };
    std::vector<Argument> args;
};

std::optional<HostCommand> parseCommand(const std::string& text, std::string& error);
// The same into `command`, reusing its storage; false (with `error`) when
// the text is no command.
bool parseCommand(const std::string& text, HostCommand& command, std::string& error);

// ---- decoded event keys --------------------------------------------------

// A key "name.part.part=value" decoded into the layout a host passes with a
// control event. The record's pointers point into storage the object owns,
// so it can be neither copied nor moved.
class DecodedKey {
public:
    explicit DecodedKey(const std::string& key);
    DecodedKey(const DecodedKey&) = delete;
    DecodedKey& operator=(const DecodedKey&) = delete;

    const decodedKeyRecord* record() const { return &record_; }

private:
    std::vector<char> storage_;
    decodedKeyRecord record_{};
};

// ---- the environment: one INI file ---------------------------------------

struct Instance {
    std::int32_t device = 0;
    std::int32_t offset = 0;
    std::string drvtype;
};

// A component declared in the environment: [component.NAME].
struct DeclaredComponent {
    std::string name;
    std::string plugin;               // module path as written; empty: the default plug-in
    std::string panels;               // panel folder as written; empty: the default folder
    std::vector<std::string> params;  // parent requests "name=value", sent at start-up in order
};

struct Environment {
    std::map<std::string, Instance> instances;                         // by exact name
    std::vector<DeclaredComponent> components;                             // in file order
    std::map<std::int32_t, std::map<std::int32_t, std::string>> info;  // device -> slot -> text
    std::map<std::int32_t, std::map<std::int32_t, std::int32_t>> gpi;  // device -> input -> state
};

// Reads [instances.NAME] (device, offset, drvtype), [info.DEVICE]
// (SLOT = text), [gpi.DEVICE] (INPUT = state) and [component.NAME] (plugin,
// panels, param.NAME = value; NAME is one word). Other sections belong to
// other readers of the same file and are skipped; a UTF-8 byte order mark at
// the start is ignored. A file whose lines before the first section are not
// "name = value", or that has no section at all, is no INI file: an error.
// Errors are "name:line: message" texts; the result is usable only when
// there are none.
Environment parseEnvironment(std::istream& in, const std::string& name,
                             std::vector<std::string>& errors);

// ---- panel layouts ------------------------------------------------------

struct Control {
    std::string id;
    std::vector<std::pair<std::string, std::string>> properties;  // in order of first setting

    const std::string* property(std::string_view name) const;
    void set(const std::string& name, const std::string& value);
};

struct Layout {
    std::vector<Control> controls;  // in file order

    // Control ids are matched without regard to case.
    Control* find(const std::string& id);
    const Control* find(const std::string& id) const;
    // Builds the id index that find() uses; copies of the layout share it.
    void index();

private:
    std::shared_ptr<const std::unordered_map<std::string, std::size_t>> index_;
};

// One control per line: "control <Id> [<property>=<value>]...". Blank lines
// and lines starting with '#' are skipped. Bad lines are reported as "name:line:
// message" warnings and skipped; the rest of the layout still loads.
Layout parseLayout(std::istream& in, const std::string& name, std::vector<std::string>& warnings);

}  // namespace vhost

#endif  // VESK_HOST_PARSERS_H
