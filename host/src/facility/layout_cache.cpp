#include "layout_cache.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace vhost {

std::shared_ptr<const LoadedLayout> LayoutCache::load(const std::string& path) {
    std::error_code error;
    const std::filesystem::path file(path);
    if (!std::filesystem::is_regular_file(file, error)) return nullptr;
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error) return nullptr;
    const auto modified = std::filesystem::last_write_time(file, error);
    if (error) return nullptr;
    const std::int64_t stamp = modified.time_since_epoch().count();
    auto it = entries_.find(path);
    if (it != entries_.end() && it->second.size == size && it->second.modified == stamp) {
        return it->second.layout;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return nullptr;
    ++reads_;
    auto loaded = std::make_shared<LoadedLayout>();
    loaded->layout = parseLayout(in, path, loaded->warnings);
    entries_[path] = Entry{size, stamp, loaded};
    return loaded;
}

}  // namespace vhost
