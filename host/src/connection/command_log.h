// command_log.h - the last texts a component sent or wrote, for expectations.
//
// Entries are numbered from 0 for the whole run; only the newest `capacity`
// are kept, in a ring whose strings are reused, so a long run stays bounded
// and a full log takes new entries without allocating. An expectation holds
// a position in these numbers and can tell when what it would look at is gone.
#ifndef VESK_HOST_CONNECTION_COMMAND_LOG_H
#define VESK_HOST_CONNECTION_COMMAND_LOG_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vhost {

class BoundedLog {
public:
    static const std::size_t defaultCapacity = 512;
    explicit BoundedLog(std::size_t capacity = defaultCapacity) : capacity_(capacity) {}

    void push(std::string_view text) {
        if (capacity_ == 0) {
            ++end_;
            return;
        }
        if (ring_.size() < capacity_) {
            ring_.emplace_back(text);
        } else {
            ring_[(end_ - base_) % capacity_].assign(text.data(), text.size());
        }
        ++end_;
    }
    // Number of the next entry: every entry ever pushed is below it.
    std::size_t end() const { return end_; }
    // Number of the oldest entry still kept.
    std::size_t first() const { return end_ - ring_.size(); }
    // Entry `n`, for first() <= n < end().
    const std::string& at(std::size_t n) const {
        return ring_[(n - base_) % capacity_];
    }
    std::size_t capacity() const { return capacity_; }
    // Keeps at most `capacity` entries from now on (0: none, only the count).
    void setCapacity(std::size_t capacity) {
        ring_.clear();
        capacity_ = capacity;
        base_ = end_;
    }

private:
    std::size_t capacity_;
    std::size_t end_ = 0;
    std::size_t base_ = 0;  // number of the entry in ring_[0]
    std::vector<std::string> ring_;
};

}  // namespace vhost

#endif  // VESK_HOST_CONNECTION_COMMAND_LOG_H
