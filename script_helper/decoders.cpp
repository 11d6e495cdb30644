#include "vesk_decoders.h"

#include <cstddef>
#include <cstring>
#include <new>

const char* const vesk_emptyText = "";

// A host builds decodedKeyRecord; scripts decode into decodeKeyString. Both
// must be read through the same offsets.
static_assert(sizeof(decodeKeyString) == sizeof(decodedKeyRecord), "key layout");
static_assert(offsetof(decodeKeyString, name) == offsetof(decodedKeyRecord, name), "key layout");
static_assert(offsetof(decodeKeyString, parts) == offsetof(decodedKeyRecord, parts), "key layout");
static_assert(offsetof(decodeKeyString, value) == offsetof(decodedKeyRecord, value), "key layout");
static_assert(offsetof(decodeKeyString, partCount) == offsetof(decodedKeyRecord, partCount),
              "key layout");
static_assert(offsetof(decodeKeyString, hasValue) == offsetof(decodedKeyRecord, hasValue),
              "key layout");
static_assert(offsetof(decodeKeyString, buffer) == offsetof(decodedKeyRecord, buffer),
              "key layout");

namespace {

// The one allocation of a decoder: a copy of `text` with its terminator.
// Null for a null or empty input, or when memory runs out (the decoder then
// reads as empty instead of failing).
char* copyOf(const char* text, size_t& length) {
    length = text ? std::strlen(text) : 0;
    if (length == 0) return nullptr;
    char* copy = new (std::nothrow) char[length + 1];
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

decodeKeyString::decodeKeyString(const char* text)
    : name(vesk_emptyText), value(vesk_emptyText), partCount(0), hasValue(false), buffer(nullptr) {
    for (const char*& part : parts) part = vesk_emptyText;
    size_t length = 0;
    buffer = copyOf(text, length);
    if (buffer == nullptr) return;
    for (size_t i = 0; i < length && partCount < VESK_KEY_MAX_PARTS; ++i) {
        const char c = buffer[i];
        if (c == '.') {
            buffer[i] = '\0';
            parts[partCount++] = buffer + i + 1;
        } else if (c == '=') {
            buffer[i] = '\0';
            hasValue = true;
            value = buffer + i + 1;
            break;
        }
    }
    name = buffer;  // runs from the start to the first cut, or is the whole text
}

decodeKeyString::~decodeKeyString() { delete[] buffer; }

decodeVESKString::decodeVESKString(const char* text, char quoteChar)
    : tokenCount(0), buffer(nullptr), quote(quoteChar) {
    for (const char*& token : tokens) token = vesk_emptyText;
    size_t length = 0;
    buffer = copyOf(text, length);
    if (buffer == nullptr) return;

    int k = 0;
    tokens[0] = buffer;
    bool insideQuotes = false;
    for (size_t i = 0; i < length; ++i) {
        const char c = buffer[i];
        const bool afterCut = i > 0 && buffer[i - 1] == '\0';
        if (c == quote) {
            buffer[i] = '\0';
            insideQuotes = !insideQuotes;
            // A closing quote right after a cut: the quotes enclosed nothing,
            // which is an empty token of its own.
            if (insideQuotes || !afterCut) continue;
        } else if (c == ' ' && !insideQuotes) {
            buffer[i] = '\0';
            continue;
        } else if (!afterCut) {
            continue;
        }
        if (k == maxTokens - 1) break;  // the 33rd token is not split off
        tokens[++k] = buffer + i;
    }
    tokenCount = k + 1;
}

decodeVESKString::~decodeVESKString() { delete[] buffer; }
