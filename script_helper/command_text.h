// command_text.h - builds one command text for the host.
//
// Texts are assembled in a buffer on the stack and only move to the heap
// when a long argument makes them outgrow it, so the usual commands of a
// driver update cost no allocation. Arguments are inserted as they are:
// nothing is escaped, and numbers are plain signed decimal.
#ifndef VESK_COMMAND_TEXT_H
#define VESK_COMMAND_TEXT_H

#include <cstddef>
#include <cstring>
#include <string>

#include "vesk_string.h"

class CommandText {
public:
    CommandText() { inline_[0] = '\0'; }
    CommandText(const CommandText&) = delete;
    CommandText& operator=(const CommandText&) = delete;

    CommandText& operator<<(const char* text) { return append(text, std::strlen(text)); }
    CommandText& operator<<(const vesk_string& text) {
        return append(text.c_str(), static_cast<std::size_t>(text.length()));
    }
    CommandText& operator<<(int number) {
        char digits[12];
        return append(digits, decimal(number, digits));
    }

    const char* c_str() const { return spilled_ ? heap_.c_str() : inline_; }
    std::size_t length() const { return spilled_ ? heap_.size() : length_; }

    // Writes `number` in signed decimal into `out` (at least 11 bytes) and
    // returns the number of characters; INT_MIN included.
    static std::size_t decimal(int number, char* out) {
        unsigned magnitude = number < 0 ? 0u - static_cast<unsigned>(number)
                                        : static_cast<unsigned>(number);
        char reversed[10];
        std::size_t count = 0;
        do {
            reversed[count++] = static_cast<char>('0' + magnitude % 10u);
            magnitude /= 10u;
        } while (magnitude != 0);
        std::size_t length = 0;
        if (number < 0) out[length++] = '-';
        while (count > 0) out[length++] = reversed[--count];
        return length;
    }

private:
    static const std::size_t inlineCapacity = 384;

    CommandText& append(const char* text, std::size_t length) {
        if (!spilled_ && length_ + length < inlineCapacity) {
            std::memcpy(inline_ + length_, text, length);
            length_ += length;
            inline_[length_] = '\0';
            return *this;
        }
        if (!spilled_) {
            heap_.assign(inline_, length_);
            spilled_ = true;
        }
        heap_.append(text, length);
        return *this;
    }

    char inline_[inlineCapacity];
    std::size_t length_ = 0;
    bool spilled_ = false;
    std::string heap_;
};

#endif  // VESK_COMMAND_TEXT_H
