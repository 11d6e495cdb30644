// command_log.h - the last texts a component sent or wrote, for expectations.
//
// Entries are numbered from 0 for the whole run; only the newest `capacity`
// are kept, so a long run stays bounded. An expectation holds a position in
// these numbers and can tell when what it would look at is gone.
//
// The texts lie back to back in one buffer, each entry only its end in it:
// a component of a large facility logs a command on every change, and one
// append to its own buffer costs far less than a string of its own. Entries
// that fall out of the window are let go together, once a quarter more are
// held than are kept: the buffer holds at most a quarter more than is kept,
// and each entry is moved four times on average.
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
        ++end_;
        if (capacity_ == 0) return;
        if (ends_.size() == capacity_ + slack()) letGoOfTheOldest();
        bytes_.append(text.data(), text.size());
        ends_.push_back(bytes_.size());
    }
    // Number of the next entry: every entry ever pushed is below it.
    std::size_t end() const { return end_; }
    // Number of the oldest entry still kept.
    std::size_t first() const {
        return end_ - (ends_.size() < capacity_ ? ends_.size() : capacity_);
    }
    // Entry `n`, for first() <= n < end(); valid until the next push.
    std::string_view at(std::size_t n) const {
        const std::size_t i = n - (end_ - ends_.size());
        const std::size_t from = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_.data() + from, ends_[i] - from);
    }
    std::size_t capacity() const { return capacity_; }
    // Keeps at most `capacity` entries from now on (0: none, only the count).
    void setCapacity(std::size_t capacity) {
        bytes_.clear();
        ends_.clear();
        capacity_ = capacity;
    }

private:
    std::size_t slack() const { return capacity_ / 4 > 0 ? capacity_ / 4 : 1; }
    // The oldest `slack()` go; the newest `capacity_ - 1` move to the front.
    void letGoOfTheOldest() {
        const std::size_t gone = slack() + 1;
        const std::size_t cut = ends_[gone - 1];
        bytes_.erase(0, cut);
        for (std::size_t i = gone; i < ends_.size(); ++i) ends_[i - gone] = ends_[i] - cut;
        ends_.resize(ends_.size() - gone);
    }

    std::size_t capacity_;
    std::size_t end_ = 0;
    std::string bytes_;              // the texts held, oldest first
    std::vector<std::size_t> ends_;  // where each held entry ends in bytes_
};

}  // namespace vhost

#endif  // VESK_HOST_CONNECTION_COMMAND_LOG_H
