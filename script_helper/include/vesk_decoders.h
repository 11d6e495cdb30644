// vesk_decoders.h - the two text splitters of the script framework.
//
// Both make one private copy of their input, cut it in place by overwriting
// separators with NUL bytes and point into the copy. A field that receives
// no piece points at one shared, static empty text, so readers never meet a
// null pointer. The pointers stay valid until the decoder is destroyed and do
// not depend on the input, which the caller may release at once.
#ifndef VESK_DECODERS_H
#define VESK_DECODERS_H

#include <cstdint>

#include "vesk_host_abi.h"

// The shared empty text: never written, never freed.
extern const char* const vesk_emptyText;

// Splits "name.part.part=value": `name` runs to the first '.' or '=', each
// part to the next '.' or '=', `value` from the first '=' to the end. At most
// 32 parts: after the 32nd '.' the scan stops and the last part holds the
// rest of the text. Same layout as decodedKeyRecord of the host interface.
struct decodeKeyString {
    const char* name;
    const char* parts[VESK_KEY_MAX_PARTS];
    const char* value;
    std::int32_t partCount;
    bool hasValue;
    char* buffer;  // owned copy of the input, or null for a null or empty input

    explicit decodeKeyString(const char* text);
    ~decodeKeyString();
    decodeKeyString(const decodeKeyString&) = delete;
    decodeKeyString& operator=(const decodeKeyString&) = delete;
};

// Splits a host reply into up to 32 tokens separated by spaces; a token may
// be enclosed in `quote` characters to hold spaces. Token 0 always starts at
// the first character, so a leading space or quote gives an empty token 0.
class decodeVESKString {
public:
    static const int maxTokens = 32;

    decodeVESKString(const char* text, char quote);
    virtual ~decodeVESKString();
    decodeVESKString(const decodeVESKString&) = delete;
    decodeVESKString& operator=(const decodeVESKString&) = delete;

    const char* tokens[maxTokens];
    std::int32_t tokenCount;
    char* buffer;  // owned copy of the input, or null for a null or empty input
    char quote;
};

#endif  // VESK_DECODERS_H
