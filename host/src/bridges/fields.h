// fields.h - numbers and key=value words as the bridges read them, in
// their settings and in scenario steps.
#ifndef VESK_HOST_BRIDGES_FIELDS_H
#define VESK_HOST_BRIDGES_FIELDS_H

#include <cstdint>
#include <map>
#include <string>

namespace vhost {
namespace tsl {

// A whole number from `low` to `high` (spaces around it allowed).
bool numberIn(const std::string& text, std::int32_t low, std::int32_t high, std::int32_t& out);

// "key=value" words; false (with `error`) on anything else.
bool fieldsOf(const std::string& text, std::map<std::string, std::string>& fields,
              std::string& error);

// The field `key`, when given, as a number from `low` to `high`; false
// (with `error`) when it is something else. `out` is left alone when the
// field is not there.
bool numberField(const std::map<std::string, std::string>& fields, const std::string& key,
                 std::int32_t low, std::int32_t high, std::int32_t& out, std::string& error);

// The first field not among `known` (a null-terminated list), or "".
std::string unknownField(const std::map<std::string, std::string>& fields,
                         const char* const* known);

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_FIELDS_H
