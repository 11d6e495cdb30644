// layout_cache.h - panel layout files, read once and shared.
//
// Every component that loads the same layout file shares one parsed copy
// until the file changes (size or modification time); each panel then
// copies the controls for its own state.
#ifndef VESK_HOST_FACILITY_LAYOUT_CACHE_H
#define VESK_HOST_FACILITY_LAYOUT_CACHE_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "text/host_parsers.h"

namespace vhost {

struct LoadedLayout {
    Layout layout;
    std::vector<std::string> warnings;
};

class LayoutCache {
public:
    // The layout in `path`, or null when it is missing, a folder or unreadable.
    std::shared_ptr<const LoadedLayout> load(const std::string& path);
    // Files read so far (a second load of an unchanged file reads nothing).
    int reads() const { return reads_; }

private:
    struct Entry {
        std::uintmax_t size;
        std::int64_t modified;
        std::shared_ptr<const LoadedLayout> layout;
    };
    std::map<std::string, Entry> entries_;
    int reads_ = 0;
};

}  // namespace vhost

#endif  // VESK_HOST_FACILITY_LAYOUT_CACHE_H
