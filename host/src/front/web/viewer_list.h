// viewer_list.h - who watches: one entry per open event stream, with the
// views it serves (a browser's views share one stream), for the list of
// viewers on the main page.
#ifndef VESK_HOST_FRONT_WEB_VIEWER_LIST_H
#define VESK_HOST_FRONT_WEB_VIEWER_LIST_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vhost {
namespace web {

class ViewerList {
public:
    // Views named per stream, and the length of a name, at most; more are
    // left out: the list is for people to read, not a store.
    static const std::size_t maxViews = 8;
    static const std::size_t maxViewLength = 100;

    // The views a stream's target names: "/api/events?view=%2Ftally%2Fcam1&view=/",
    // decoded, each once, in order, within the bounds above.
    static std::vector<std::string> viewsOf(const std::string& target);

    // Returns the entry's number, for remove().
    std::uint64_t add(const std::string& address, std::vector<std::string> views, std::int64_t sinceMs);
    void remove(std::uint64_t id);
    std::size_t size() const { return viewers_.size(); }

    // [{"address": ..., "views": [...], "since_ms": ...}, ...], oldest first.
    nlohmann::json json() const;

private:
    struct Viewer {
        std::string address;
        std::vector<std::string> views;
        std::int64_t sinceMs = 0;
    };
    std::map<std::uint64_t, Viewer> viewers_;
    std::uint64_t next_ = 1;
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_VIEWER_LIST_H
