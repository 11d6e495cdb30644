#include "vesk_config.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/types.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace {

using attribute_list = std::vector<std::pair<vesk_string, vesk_string>>;
using entry_map = std::map<std::string, attribute_list, std::less<>>;

std::string trimmed(const std::string& text) {
    const char* spaces = " \t\r\n";
    const size_t first = text.find_first_not_of(spaces);
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(spaces);
    return text.substr(first, last - first + 1);
}

// What tells one state of the file from another without reading it.
struct file_stamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = -1;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;  // status change; creation time on Windows
    bool regular = false;

    bool operator==(const file_stamp& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified_ns == other.modified_ns && changed_ns == other.changed_ns &&
               regular == other.regular;
    }
};

// The only platform-dependent part. False when the file cannot be examined.
bool stamp_of(const char* path, file_stamp& stamp) {
#ifdef _WIN32
    // Same narrow path as std::ifstream opens. The file index stands for the
    // inode; times come in 100 ns steps from 1601 and are moved to 1970.
    const HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    if (!known) return false;
    auto ns = [](FILETIME time) {
        const std::int64_t ticks = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
        return (ticks - 116444736000000000LL) * 100;
    };
    stamp.device = info.dwVolumeSerialNumber;
    stamp.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                           info.nFileSizeLow);
    stamp.modified_ns = ns(info.ftLastWriteTime);
    stamp.changed_ns = ns(info.ftCreationTime);
    stamp.regular =
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
#else
    struct stat st;
    if (stat(path, &st) != 0) return false;
    stamp.device = static_cast<std::uint64_t>(st.st_dev);
    stamp.inode = static_cast<std::uint64_t>(st.st_ino);
    stamp.size = static_cast<std::int64_t>(st.st_size);
#if defined(__APPLE__)
    stamp.modified_ns = static_cast<std::int64_t>(st.st_mtimespec.tv_sec) * 1000000000 +
                        st.st_mtimespec.tv_nsec;
    stamp.changed_ns = static_cast<std::int64_t>(st.st_ctimespec.tv_sec) * 1000000000 +
                       st.st_ctimespec.tv_nsec;
#else
    stamp.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                        st.st_mtim.tv_nsec;
    stamp.changed_ns = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 +
                       st.st_ctim.tv_nsec;
#endif
    stamp.regular = S_ISREG(st.st_mode);
#endif
    return true;
}

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Every entry of the file with its attributes in file order; an entry whose
// header appears twice collects the lines of both sections.
entry_map parsed(const char* path) {
    entry_map entries;
    std::ifstream file(path);
    if (!file) return entries;
    attribute_list* current = nullptr;
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
                current = nullptr;  // malformed header: skip what follows it
                continue;
            }
            current = &entries[trimmed(text.substr(1, text.size() - 2))];
            continue;
        }
        if (current == nullptr) continue;
        const size_t equals = text.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = trimmed(text.substr(0, equals));
        if (name.empty()) continue;
        current->emplace_back(vesk_string(name.c_str()),
                              vesk_string(trimmed(text.substr(equals + 1)).c_str()));
    }
    return entries;
}

// Timestamps are only as fine as the file system keeps them (seconds on some),
// so a write in the same tick as the one before can leave size and times
// as they were. A file modified this recently is parsed again at every lookup
// until it is older than that.
constexpr std::int64_t settle_ns = 3LL * 1000000000;

// The last file parsed, kept while stat says it has not changed. One process
// wide, as the library may be shared by several plug-ins.
struct parsed_file {
    std::mutex lock;
    std::string path;
    file_stamp stamp;
    bool valid = false;
    entry_map entries;
};

parsed_file& cache() {
    static parsed_file file;
    return file;
}

void copy_entry(const entry_map& entries, const vesk_string& entry, attribute_list& out) {
    const auto found = entries.find(std::string_view(entry.c_str()));
    if (found != entries.end()) out = found->second;
}

}  // namespace

vesk_config::vesk_config(const vesk_string& entry) {
    const char* path = std::getenv("VESK_CONFIG");
    if (path == nullptr || *path == '\0') return;
    const std::int64_t now = now_ns();  // before stat, so a later write cannot share its time
    file_stamp stamp;
    if (!stamp_of(path, stamp) || !stamp.regular) {
        // Nothing to key a copy on: read it as it is now (most often, it is not there).
        copy_entry(parsed(path), entry, attributes_);
        return;
    }
    parsed_file& file = cache();
    const std::lock_guard<std::mutex> guard(file.lock);
    if (!file.valid || file.path != path || !(file.stamp == stamp)) {
        file.valid = false;
        file.entries = parsed(path);
        file.path = path;
        file.stamp = stamp;
        file.valid = stamp.modified_ns <= now - settle_ns;
    }
    copy_entry(file.entries, entry, attributes_);
}

vesk_config::~vesk_config() = default;

vesk_string vesk_config::attr(const vesk_string& name) const {
    // The last assignment of a name wins, as a later line overrides an earlier one.
    for (auto it = attributes_.rbegin(); it != attributes_.rend(); ++it) {
        if (it->first == name) return it->second;
    }
    return vesk_string();
}
