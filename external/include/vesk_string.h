// vesk_string.h - the text type of the whole library: 8-bit characters, held by value.
//
// Choices this library makes where callers rely on nothing more:
// - toInt() reads like the C atoi: leading spaces, an optional sign, decimal
//   digits, stopping at the first other character; the empty text or a text
//   that does not start with a number gives 0. A value outside the signed
//   32-bit range is clamped to the nearest limit instead of being undefined.
// - split(sep, first, second) splits at the first separator. Without one,
//   first is the whole text and second is empty. The result is 1 when the
//   separator was found, 0 otherwise.
// - arg() replaces every occurrence of the lowest-numbered placeholder %1..%9
//   still in the text; the inserted text is not scanned again by that call.
// - Short texts are held inline, without a heap allocation.
#ifndef VESK_STRING_H
#define VESK_STRING_H

#include <string>

#include "vesk_export.h"

class VESK_STRING_API vesk_string {
public:
    vesk_string();
    vesk_string(const char* text);  // null reads as the empty text
    vesk_string(const char* text, int length);
    vesk_string(const vesk_string& other);
    vesk_string(vesk_string&& other) noexcept;
    // Decimal (or other base) form of `value`. A non-NUL `pad` left-pads the
    // digits to `width` characters; the system always passes NUL, 0 and 10.
    vesk_string(int value, char pad, int width, int base);
    virtual ~vesk_string();

    vesk_string& operator=(const char* text);
    vesk_string& operator=(const vesk_string& other);
    vesk_string& operator=(vesk_string&& other) noexcept;
    vesk_string& operator+=(const char* text);
    vesk_string& operator+=(const vesk_string& other);

    // Exact, character for character; == "" tests emptiness.
    bool operator==(const char* text) const;
    bool operator==(const vesk_string& other) const;
    bool operator!=(const char* text) const;
    bool operator!=(const vesk_string& other) const;

    int length() const { return static_cast<int>(text_.size()); }
    bool isEmpty() const;
    // NUL-terminated text, valid while the string lives unchanged.
    operator const char*() const;
    const char* c_str() const { return text_.c_str(); }

    int toInt() const;
    vesk_string lower() const;
    vesk_string arg(const vesk_string& value) const;
    vesk_string arg(int value, char pad, int width, int base) const;
    int split(char separator, vesk_string& first, vesk_string& second) const;

private:
    std::string text_;
};

VESK_STRING_API vesk_string operator+(const char* left, const vesk_string& right);
VESK_STRING_API vesk_string operator+(const vesk_string& left, const char* right);
VESK_STRING_API vesk_string operator+(const vesk_string& left, const vesk_string& right);

#endif  // VESK_STRING_H
