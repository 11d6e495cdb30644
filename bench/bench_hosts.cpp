#include "bench_hosts.h"

#include <cstring>

char* InstanceTable::answer(const char* command) {
    // "SD '<name>'": the name runs between the apostrophes.
    if (std::strncmp(command, "SD '", 4) != 0) return nullptr;
    const char* name = command + 4;
    const char* end = std::strchr(name, '\'');
    if (end == nullptr) return nullptr;
    auto it = replies_.find(std::string(name, end));
    return it == replies_.end() ? nullptr : &it->second[0];
}

char* TranscriptHost::notify(void* data, int type) {
    if (type != VESK_NOTIFY_COMMAND) return nullptr;
    const char* text = static_cast<const char*>(data);
    commands.emplace_back(text);
    return instances_.answer(text);
}
