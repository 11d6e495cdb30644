#include "vesk_string.h"

#include <climits>
#include <cstring>

namespace {

// Digits of `value` in `base` (2..36; anything else means 10), left-padded
// with `pad` to `width` characters when `pad` is not NUL.
std::string numberText(int value, char pad, int width, int base) {
    if (base < 2 || base > 36) base = 10;
    char digits[40];
    int count = 0;
    // Work in unsigned so that INT_MIN converts without overflow.
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        const unsigned digit = static_cast<unsigned>(magnitude % static_cast<unsigned>(base));
        digits[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
        magnitude /= static_cast<unsigned>(base);
    } while (magnitude != 0);
    if (value < 0) digits[count++] = '-';
    std::string text;
    if (pad != '\0' && width > count) text.assign(static_cast<size_t>(width - count), pad);
    while (count > 0) text.push_back(digits[--count]);
    return text;
}

// Position and number of the lowest-numbered placeholder %1..%9 in `text`.
bool lowestPlaceholder(const std::string& text, char& number) {
    number = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        const char c = text[i + 1];
        if (text[i] == '%' && c >= '1' && c <= '9' && (number == 0 || c < number)) number = c;
    }
    return number != 0;
}

std::string replacePlaceholder(const std::string& text, const std::string& value) {
    char number = 0;
    if (!lowestPlaceholder(text, number)) return text;
    std::string result;
    result.reserve(text.size() + value.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == number) {
            result += value;
            ++i;
        } else {
            result.push_back(text[i]);
        }
    }
    return result;
}

}  // namespace

vesk_string::vesk_string() = default;
vesk_string::vesk_string(const char* text) : text_(text ? text : "") {}
vesk_string::vesk_string(const char* text, int length)
    : text_(text && length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string()) {}
vesk_string::vesk_string(const vesk_string& other) = default;
vesk_string::vesk_string(vesk_string&& other) noexcept = default;
vesk_string::vesk_string(int value, char pad, int width, int base)
    : text_(numberText(value, pad, width, base)) {}
vesk_string::~vesk_string() = default;

vesk_string& vesk_string::operator=(const char* text) {
    text_.assign(text ? text : "");
    return *this;
}
vesk_string& vesk_string::operator=(const vesk_string& other) = default;
vesk_string& vesk_string::operator=(vesk_string&& other) noexcept = default;

vesk_string& vesk_string::operator+=(const char* text) {
    if (text) text_ += text;
    return *this;
}
vesk_string& vesk_string::operator+=(const vesk_string& other) {
    text_ += other.text_;
    return *this;
}

bool vesk_string::operator==(const char* text) const { return text_ == (text ? text : ""); }
bool vesk_string::operator==(const vesk_string& other) const { return text_ == other.text_; }
bool vesk_string::operator!=(const char* text) const { return !(*this == text); }
bool vesk_string::operator!=(const vesk_string& other) const { return text_ != other.text_; }

bool vesk_string::isEmpty() const { return text_.empty(); }
vesk_string::operator const char*() const { return text_.c_str(); }

int vesk_string::toInt() const {
    const char* p = text_.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) {
            magnitude = limit;  // clamp; further digits cannot bring it back
        }
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

vesk_string vesk_string::lower() const {
    vesk_string result(*this);
    for (char& c : result.text_) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

vesk_string vesk_string::arg(const vesk_string& value) const {
    vesk_string result;
    result.text_ = replacePlaceholder(text_, value.text_);
    return result;
}

vesk_string vesk_string::arg(int value, char pad, int width, int base) const {
    vesk_string result;
    result.text_ = replacePlaceholder(text_, numberText(value, pad, width, base));
    return result;
}

int vesk_string::split(char separator, vesk_string& first, vesk_string& second) const {
    const size_t at = text_.find(separator);
    if (at == std::string::npos) {
        // Copy first: `first` or `second` may be this very string.
        const std::string whole = text_;
        first.text_ = whole;
        second.text_.clear();
        return 0;
    }
    const std::string left = text_.substr(0, at);
    const std::string right = text_.substr(at + 1);
    first.text_ = left;
    second.text_ = right;
    return 1;
}

vesk_string operator+(const char* left, const vesk_string& right) {
    vesk_string result(left);
    result += right;
    return result;
}
vesk_string operator+(const vesk_string& left, const char* right) {
    vesk_string result(left);
    result += right;
    return result;
}
vesk_string operator+(const vesk_string& left, const vesk_string& right) {
    vesk_string result(left);
    result += right;
    return result;
}
