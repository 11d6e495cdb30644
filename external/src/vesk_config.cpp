#include "vesk_config.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string trimmed(const std::string& text) {
    const char* spaces = " \t\r\n";
    const size_t first = text.find_first_not_of(spaces);
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(spaces);
    return text.substr(first, last - first + 1);
}

}  // namespace

vesk_config::vesk_config(const vesk_string& entry) {
    const char* path = std::getenv("VESK_CONFIG");
    if (path == nullptr || *path == '\0') return;
    std::ifstream file(path);
    if (!file) return;
    bool inEntry = false;
    bool firstLine = true;
    std::string line;
    while (std::getline(file, line)) {
        // Editors on Windows often save with a UTF-8 byte order mark; it
        // would otherwise hide the first section header.
        if (firstLine && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        firstLine = false;
        const std::string text = trimmed(line);
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text[0] == '[') {
            if (text.back() != ']') {
                inEntry = false;  // malformed header: skip what follows it
                continue;
            }
            inEntry = trimmed(text.substr(1, text.size() - 2)) == entry.c_str();
            continue;
        }
        if (!inEntry) continue;
        const size_t equals = text.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = trimmed(text.substr(0, equals));
        if (name.empty()) continue;
        attributes_.emplace_back(vesk_string(name.c_str()),
                                 vesk_string(trimmed(text.substr(equals + 1)).c_str()));
    }
}

vesk_config::~vesk_config() = default;

vesk_string vesk_config::attr(const vesk_string& name) const {
    // The last assignment of a name wins, as a later line overrides an earlier one.
    for (auto it = attributes_.rbegin(); it != attributes_.rend(); ++it) {
        if (it->first == name) return it->second;
    }
    return vesk_string();
}
