// fields.cpp - see fields.h.
#include "bridges/fields.h"

#include <cstring>

#include "text/host_parsers.h"

namespace vhost {
namespace tsl {

bool numberIn(const std::string& text, std::int32_t low, std::int32_t high, std::int32_t& out) {
    const auto value = parseInt32(trim(text));
    if (!value || *value < low || *value > high) return false;
    out = *value;
    return true;
}

bool fieldsOf(const std::string& text, std::map<std::string, std::string>& fields,
              std::string& error) {
    const auto words = splitWords(text, error);
    if (!words) return false;
    for (const std::string& word : *words) {
        const std::size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0) {
            error = "expected key=value, got '" + word + "'";
            return false;
        }
        fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return true;
}

bool numberField(const std::map<std::string, std::string>& fields, const std::string& key,
                 std::int32_t low, std::int32_t high, std::int32_t& out, std::string& error) {
    const auto it = fields.find(key);
    if (it == fields.end()) return true;
    const auto value = parseInt32(it->second);
    if (!value || *value < low || *value > high) {
        error = key + " must be a number from " + std::to_string(low) + " to " +
                std::to_string(high);
        return false;
    }
    out = *value;
    return true;
}

std::string unknownField(const std::map<std::string, std::string>& fields,
                         const char* const* known) {
    for (const auto& field : fields) {
        bool found = false;
        for (const char* const* name = known; *name != nullptr && !found; ++name) {
            found = field.first == *name;
        }
        if (!found) return field.first;
    }
    return "";
}

}  // namespace tsl
}  // namespace vhost
