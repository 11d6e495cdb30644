// viewer_list.cpp - see viewer_list.h.
#include "front/web/viewer_list.h"

#include <algorithm>

#include "front/json_text.h"

namespace vhost {
namespace web {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX and '+' decoded; a '%' that starts no escape stays as it is.
std::string decoded(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && at + 2 < text.size() && hexDigit(text[at + 1]) >= 0 &&
                   hexDigit(text[at + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[at + 1]) * 16 + hexDigit(text[at + 2]));
            at += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> ViewerList::viewsOf(const std::string& target) {
    std::vector<std::string> views;
    const auto question = target.find('?');
    if (question == std::string::npos) return views;
    std::size_t at = question + 1;
    while (at <= target.size() && views.size() < maxViews) {
        const auto end = std::min(target.find('&', at), target.size());
        const std::string pair = target.substr(at, end - at);
        at = end + 1;
        if (pair.compare(0, 5, "view=") != 0) continue;
        std::string view = decoded(pair.substr(5));
        // Control characters are not for a list people read.
        view.erase(std::remove_if(view.begin(), view.end(),
                                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
                   view.end());
        if (view.empty()) continue;
        if (view.size() > maxViewLength) view.resize(maxViewLength);
        if (std::find(views.begin(), views.end(), view) == views.end()) views.push_back(view);
    }
    return views;
}

std::uint64_t ViewerList::add(const std::string& address, std::vector<std::string> views,
                              std::int64_t sinceMs) {
    const std::uint64_t id = next_++;
    viewers_[id] = Viewer{address, std::move(views), sinceMs};
    return id;
}

void ViewerList::remove(std::uint64_t id) { viewers_.erase(id); }

nlohmann::json ViewerList::json() const {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& entry : viewers_) {
        nlohmann::json views = nlohmann::json::array();
        for (const auto& view : entry.second.views) views.push_back(utf8Text(view));
        list.push_back({{"address", entry.second.address}, {"views", views}, {"since_ms", entry.second.sinceMs}});
    }
    return list;
}

}  // namespace web
}  // namespace vhost
