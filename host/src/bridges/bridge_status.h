// bridge_status.h - what the live page shows of one bridge, shared between
// the bridge's socket thread (which changes it) and the facility thread
// (which publishes it).
#ifndef VESK_HOST_BRIDGES_BRIDGE_STATUS_H
#define VESK_HOST_BRIDGES_BRIDGE_STATUS_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vhost {
namespace tsl {

class BridgeStatus {
public:
    BridgeStatus(std::string name, bool out, std::string protocol, std::string address)
        : name_(std::move(name)), out_(out), protocol_(std::move(protocol)),
          address_(std::move(address)) {}

    struct View {
        std::string name, direction, protocol, address, state, lastError;
        std::uint64_t packetsIn = 0, packetsOut = 0;
    };
    View view() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return View{name_, out_ ? "out" : "in", protocol_, address_, state_, lastError_,
                    packetsIn_.load(), packetsOut_.load()};
    }
    // Any change since `seen` (updated): state, error or a count.
    bool changedSince(std::uint64_t& seen) const {
        const std::uint64_t now = version_.load();
        if (now == seen) return false;
        seen = now;
        return true;
    }

    void setState(const std::string& state) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == state) return;
        state_ = state;
        ++version_;
    }
    void setError(const std::string& error) {
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = error;
        ++version_;
    }
    void setAddress(const std::string& address) {
        std::lock_guard<std::mutex> lock(mutex_);
        address_ = address;
        ++version_;
    }
    std::string address() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return address_;
    }
    void countIn(std::uint64_t n = 1) {
        packetsIn_ += n;
        ++version_;
    }
    void countOut(std::uint64_t n = 1) {
        packetsOut_ += n;
        ++version_;
    }

private:
    mutable std::mutex mutex_;
    const std::string name_;
    const bool out_;
    const std::string protocol_;
    std::string address_;
    std::string state_ = "disconnected";
    std::string lastError_;
    std::atomic<std::uint64_t> packetsIn_{0}, packetsOut_{0}, version_{1};
};

// Messages from the socket threads for the timeline, which only the
// facility thread writes. Bounded: a peer that flaps cannot fill memory.
class Notices {
public:
    void say(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (texts_.size() < 64) {
            texts_.push_back(text);
        } else {
            ++dropped_;
        }
        pending_ = true;
    }
    bool pending() const { return pending_.load(); }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        out.swap(texts_);
        if (dropped_ > 0) {
            out.push_back(std::to_string(dropped_) + " more bridge messages not shown");
            dropped_ = 0;
        }
        pending_ = false;
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
    std::size_t dropped_ = 0;
    std::atomic<bool> pending_{false};
};

}  // namespace tsl
}  // namespace vhost

#endif  // VESK_HOST_BRIDGES_BRIDGE_STATUS_H
