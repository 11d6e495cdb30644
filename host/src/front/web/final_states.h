// final_states.h - the final state of each thing a piece of work changed.
//
// A burst changes thousands of inputs, slots and controls, some of them
// more than once; the page needs each one's last state. Changes are
// appended with their key (a repeat of the one just added replaces it at
// once), and keepLast() leaves one entry per key, the last, in the order
// the survivors were added. Entries are reused from one burst to the next,
// texts and all, so a steady run allocates nothing: the list holds as many
// entries as the largest burst had.
#ifndef VESK_HOST_FRONT_WEB_FINAL_STATES_H
#define VESK_HOST_FRONT_WEB_FINAL_STATES_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vhost {
namespace web {

// Entry: default-constructible, with a `std::uint64_t key`.
template <typename Entry>
class FinalStates {
public:
    Entry& add(std::uint64_t key) {
        if (used_ > 0 && entries_[used_ - 1].key == key) return entries_[used_ - 1];
        if (used_ == entries_.size()) entries_.emplace_back();
        Entry& entry = entries_[used_++];
        entry.key = key;
        return entry;
    }

    void keepLast() {
        if (used_ < 2) return;
        order_.clear();
        for (std::size_t i = 0; i < used_; ++i) order_.emplace_back(entries_[i].key, i);
        std::stable_sort(order_.begin(), order_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        keep_.assign(used_, false);
        for (std::size_t i = 0; i < order_.size(); ++i) {
            if (i + 1 == order_.size() || order_[i + 1].first != order_[i].first) {
                keep_[order_[i].second] = true;
            }
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < used_; ++i) {
            if (!keep_[i]) continue;
            if (kept != i) std::swap(entries_[kept], entries_[i]);
            ++kept;
        }
        used_ = kept;
    }

    void clear() { used_ = 0; }
    bool empty() const { return used_ == 0; }
    std::size_t size() const { return used_; }
    const Entry* begin() const { return entries_.data(); }
    const Entry* end() const { return entries_.data() + used_; }

private:
    std::vector<Entry> entries_;
    std::size_t used_ = 0;
    std::vector<std::pair<std::uint64_t, std::size_t>> order_;
    std::vector<bool> keep_;
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_FINAL_STATES_H
