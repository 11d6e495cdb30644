// command_text.h - builds one command text for the host.
//
// A command is built from its pieces in one go: string literals, texts and
// numbers. The constructor first adds up the longest each piece can be, so
// the text always fits the space it is written into: a buffer on the stack
// for the usual commands (a driver update costs no allocation), the heap for
// long ones. Arguments are inserted as they are: nothing is escaped, and
// numbers are plain signed decimal of any size.
#ifndef VESK_COMMAND_TEXT_H
#define VESK_COMMAND_TEXT_H

#include <cstddef>
#include <cstring>
#include <new>

#include "vesk_text_piece.h"

class CommandText {
public:
    template <typename... Pieces>
    explicit CommandText(const Pieces&... pieces) {
        std::size_t bound = 1;  // the terminator
        ((bound += longest(pieces)), ...);
        if (bound > sizeof inline_) {
            heap_ = new (std::nothrow) char[bound];
            text_ = heap_;
            if (text_ == nullptr) return;  // out of memory: there is no text to send
        }
        char* end = text_;
        ((end = put(end, pieces)), ...);
        *end = '\0';
    }
    ~CommandText() { delete[] heap_; }
    CommandText(const CommandText&) = delete;
    CommandText& operator=(const CommandText&) = delete;

    // The NUL-terminated text, or null when memory ran out.
    const char* c_str() const { return text_; }

    // Writes `number` in signed decimal at `out` and returns the end of it;
    // at most 11 characters, INT_MIN included.
    static char* decimal(int number, char* out) {
        unsigned magnitude = number < 0 ? 0u - static_cast<unsigned>(number)
                                        : static_cast<unsigned>(number);
        char reversed[10];
        std::size_t count = 0;
        do {
            reversed[count++] = static_cast<char>('0' + magnitude % 10u);
            magnitude /= 10u;
        } while (magnitude != 0);
        if (number < 0) *out++ = '-';
        while (count > 0) *out++ = reversed[--count];
        return out;
    }

private:
    static const std::size_t longestDecimal = 11;

    template <std::size_t N>
    static constexpr std::size_t longest(const char (&)[N]) { return N - 1; }
    static std::size_t longest(TextPiece piece) { return piece.length; }
    static constexpr std::size_t longest(int) { return longestDecimal; }

    template <std::size_t N>
    static char* put(char* out, const char (&literal)[N]) {
        std::memcpy(out, literal, N - 1);
        return out + N - 1;
    }
    static char* put(char* out, int number) { return decimal(number, out); }
    static char* put(char* out, TextPiece piece) {
        copyShort(out, piece.text, piece.length);
        return out + piece.length;
    }

    // Command pieces are mostly a few characters long: fixed-size moves that
    // the compiler inlines are cheaper than a call into the C library. The
    // moves may overlap each other, never the bytes outside the piece.
    static void copyShort(char* to, const char* from, std::size_t length) {
        if (length >= 8 && length <= 16) {
            std::memcpy(to, from, 8);
            std::memcpy(to + length - 8, from + length - 8, 8);
        } else if (length >= 4 && length < 8) {
            std::memcpy(to, from, 4);
            std::memcpy(to + length - 4, from + length - 4, 4);
        } else if (length > 0 && length < 4) {
            to[0] = from[0];
            to[length / 2] = from[length / 2];
            to[length - 1] = from[length - 1];
        } else if (length > 16) {
            std::memcpy(to, from, length);
        }
    }

    char inline_[512];
    char* heap_ = nullptr;
    char* text_ = inline_;
};

#endif  // VESK_COMMAND_TEXT_H
