// command_reader.h - reading a plug-in's command text in place.
//
// A component sends two commands for every driver update, so reading them
// is the host's hot path: one pass over the bytes, no copies, no calls into
// the C library per word, numbers read straight from the views. Everything
// here is inline so that it folds into the command dispatch.
#ifndef VESK_HOST_COMMAND_READER_H
#define VESK_HOST_COMMAND_READER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vhost {

// Reads an optional sign and decimal digits from `p` up to the end, or up
// to a space when `stopAtSpace`; false for anything else, no digit, or a
// number outside 32 bits. `p` is left where reading stopped.
inline bool readInt32(const char*& p, const char* end, bool stopAtSpace, std::int32_t& value) {
    const bool negative = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+')) ++p;
    if (p == end || (stopAtSpace && *p == ' ')) return false;
    // Accumulated as a negative number, whose range holds INT32_MIN.
    const std::int64_t limit = negative ? -std::int64_t{2147483647} - 1 : -std::int64_t{2147483647};
    std::int64_t read = 0;
    for (; p != end && !(stopAtSpace && *p == ' '); ++p) {
        const unsigned digit = static_cast<unsigned char>(*p) - static_cast<unsigned>('0');
        if (digit > 9) return false;
        read = read * 10 - static_cast<std::int64_t>(digit);
        if (read < limit) return false;
    }
    value = static_cast<std::int32_t>(negative ? read : -read);
    return true;
}

// A signed 32-bit decimal number, optional sign, nothing else.
inline std::optional<std::int32_t> parseInt32(std::string_view text) {
    const char* p = text.data();
    std::int32_t value = 0;
    if (!readInt32(p, p + text.size(), false, value)) return std::nullopt;
    return value;
}

// The apostrophe closing a quoted argument whose text starts at `text`:
// the first one followed by a space or the end. Null when there is none.
inline const char* closingQuote(const char* text, const char* end) {
    for (const char* close = text;; ++close) {
        while (close != end && *close != '\'') ++close;
        if (close == end) return nullptr;
        if (close + 1 == end || close[1] == ' ') return close;
    }
}

// One command read in place: the word and the arguments are views into the
// text, valid as long as it is. Only the first `maxArgs` arguments are kept
// (no command takes more); `count` is how many the text has.
//
// A quoted argument is the text between an opening apostrophe and the
// first apostrophe that is followed by a space or ends the text, so
// apostrophes inside a text (which a plug-in sends unescaped) survive as
// long as no space follows them.
//
// Nothing is initialised before it is read, so that a view on the stack
// costs nothing to set up: arguments past `count` hold no value.
struct CommandView {
    static const std::size_t maxArgs = 8;
    struct Argument {
        const char* data;
        std::size_t size;
        bool quoted;
        std::string_view text() const { return std::string_view(data, size); }
    };
    std::string_view word;
    Argument args[maxArgs];
    std::size_t count = 0;
};

// Splits a command text into its word and arguments, handing each argument
// to `take` as a view into `text`. False (with `error`, a fixed message)
// when the text is no command.
template <typename Take>
bool splitCommand(std::string_view text, std::string_view& word, Take&& take,
                  const char*& error) {
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = begin;
    while (p != end && *p != ' ') ++p;
    word = std::string_view(begin, static_cast<std::size_t>(p - begin));
    if (word.empty()) {
        error = "empty command";
        return false;
    }
    if (p == end) return true;
    ++p;
    for (;;) {
        if (p == end) {
            error = "trailing space";
            return false;
        }
        const char* const start = p;
        bool quoted = *p == '\'';
        if (quoted) {
            const char* const close = closingQuote(p + 1, end);
            if (close == nullptr) {
                error = "unterminated quoted argument";
                return false;
            }
            take(std::string_view(start + 1, static_cast<std::size_t>(close - start - 1)), true);
            p = close + 1;
        } else {
            while (p != end && *p != ' ') ++p;
            if (p == start) {
                error = "two spaces in a row";
                return false;
            }
            take(std::string_view(start, static_cast<std::size_t>(p - start)), false);
        }
        if (p == end) return true;
        ++p;  // the single space between arguments
    }
}

inline bool readCommand(std::string_view text, CommandView& command, const char*& error) {
    command.count = 0;
    return splitCommand(
        text, command.word,
        [&command](std::string_view arg, bool quoted) {
            if (command.count < CommandView::maxArgs) {
                command.args[command.count] = {arg.data(), arg.size(), quoted};
            }
            ++command.count;
        },
        error);
}

// ---- the two commands of every update ------------------------------------
//
// A component answers each driver update with "IW device 'text' slot 0"
// and "TP 'property=value' 'panel' 'control'". In their usual shape they
// are read here in one pass; a text of any other shape makes these return
// false, and the general reader above reads it (and says what is wrong
// with it). Whatever these accept, the general reader reads the same way.

namespace reading {

// An unquoted number, then a space, or the end of the text when `last`.
inline bool number(const char*& p, const char* end, bool last, std::int32_t& value) {
    if (!readInt32(p, end, true, value)) return false;
    if (last) return p == end;
    if (p == end) return false;
    ++p;
    return true;
}

// A quoted text, then a space, or the end of the text when `last`.
inline bool quoted(const char*& p, const char* end, bool last, std::string_view& value) {
    if (p == end || *p != '\'') return false;
    const char* const close = closingQuote(p + 1, end);
    if (close == nullptr) return false;
    value = std::string_view(p + 1, static_cast<std::size_t>(close - p - 1));
    p = close + 1;
    if (last) return p == end;
    if (p == end) return false;
    ++p;
    return true;
}

inline bool startsWith(std::string_view text, char a, char b) {
    return text.size() > 3 && text[0] == a && text[1] == b && text[2] == ' ';
}

}  // namespace reading

struct InfoWriteView {
    std::int32_t device = 0;
    std::string_view text;
    std::int32_t slot = 0;
};
inline bool readInfoWrite(std::string_view command, InfoWriteView& out) {
    if (!reading::startsWith(command, 'I', 'W')) return false;
    const char* p = command.data() + 3;
    const char* const end = command.data() + command.size();
    std::int32_t flag = 0;
    return reading::number(p, end, false, out.device) && reading::quoted(p, end, false, out.text) &&
           reading::number(p, end, false, out.slot) && reading::number(p, end, true, flag);
}

struct TextPutView {
    std::string_view assignment;  // property=value
    std::string_view panel;
    std::string_view control;
};
inline bool readTextPut(std::string_view command, TextPutView& out) {
    if (!reading::startsWith(command, 'T', 'P')) return false;
    const char* p = command.data() + 3;
    const char* const end = command.data() + command.size();
    return reading::quoted(p, end, false, out.assignment) &&
           reading::quoted(p, end, false, out.panel) && reading::quoted(p, end, true, out.control);
}

}  // namespace vhost

#endif  // VESK_HOST_COMMAND_READER_H
