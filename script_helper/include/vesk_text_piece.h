// vesk_text_piece.h - a borrowed text and its length, for building commands.
//
// Made from a vesk_string, a string literal (length known when compiling) or
// a NUL-terminated text. It points at the caller's characters and must not
// outlive them.
#ifndef VESK_TEXT_PIECE_H
#define VESK_TEXT_PIECE_H

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "vesk_string.h"

struct TextPiece {
    TextPiece(const vesk_string& text)  // NOLINT: implicit by design
        : text(text.c_str()), length(static_cast<std::size_t>(text.length())) {}
    template <std::size_t N>
    TextPiece(const char (&literal)[N])  // NOLINT: implicit by design
        : text(literal), length(N - 1) {}
    // A template too, so that a literal takes the constructor above.
    template <typename T, typename = typename std::enable_if<
                              std::is_same<T, const char*>::value || std::is_same<T, char*>::value>::type>
    TextPiece(const T& nulTerminated)  // NOLINT: implicit by design
        : text(nulTerminated ? nulTerminated : ""),
          length(nulTerminated ? std::strlen(nulTerminated) : 0) {}

    const char* text;
    std::size_t length;
};

#endif  // VESK_TEXT_PIECE_H
