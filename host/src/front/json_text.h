// json_text.h - 8-bit texts as JSON strings.
//
// Texts in the host are 8-bit and need not be UTF-8. In JSON every run of
// bytes that is valid UTF-8 stands as it is; every other byte is taken as a
// Latin-1 character (byte 0xE9 alone becomes U+00E9 "é"). The output is
// always valid UTF-8 JSON, and a UTF-8 text comes through unchanged.
#ifndef VESK_HOST_FRONT_JSON_TEXT_H
#define VESK_HOST_FRONT_JSON_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace vhost {

// `text` as valid UTF-8, invalid bytes mapped as Latin-1.
std::string utf8Text(const std::string& text);

// The length of the valid UTF-8 sequence at `text[pos]`, 0 when none starts there.
std::size_t utf8SequenceLength(std::string_view text, std::size_t pos);

// Appends `text` to `out` as a quoted JSON string, mapped as utf8Text does
// and escaped as the JSON printer escapes (\" \\ \b \f \n \r \t, other
// control characters as \u00XX), so that a text written here reads back
// the same as one printed from a JSON tree. For JSON written straight into
// a buffer, with no tree in between.
void appendJsonString(std::string& out, std::string_view text);
// Appends a decimal number.
void appendJsonNumber(std::string& out, std::int64_t number);

// `value` printed on one line as everything the host sends is: compact,
// non-ASCII as it stands, and an invalid UTF-8 byte replaced (U+FFFD)
// rather than thrown over.
std::string jsonText(const nlohmann::json& value);

}  // namespace vhost

#endif  // VESK_HOST_FRONT_JSON_TEXT_H
