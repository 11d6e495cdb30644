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
    // `protocol` is the transport (udp or tcp), `version` the TSL version.
    BridgeStatus(std::string name, bool out, std::string protocol, std::string address,
                 std::string version = "5.0")
        : name_(std::move(name)), out_(out), protocol_(std::move(protocol)),
          tslVersion_(std::move(version)), address_(std::move(address)) {}

    struct View {
        std::string name, direction, protocol, address, state, lastError;
        std::uint64_t packetsIn = 0, packetsOut = 0;
        // A listener's: packets dropped as malformed (or not taken by the
        // facility); TCP mixers connected now, turned away because the
        // listener was full, and closed by the host (a frame left half
        // sent, or an idle place given to a newcomer); display messages not
        // applied because they would have made one input or slot too many.
        std::uint64_t dropped = 0, connections = 0, connectionsRefused = 0,
                      connectionsClosed = 0, unknownRefused = 0;
        // A TCP sender's: tries to connect that failed, and the wait before
        // the next one (0 while connected).
        std::uint64_t retries = 0;
        int retryMs = 0;
        std::string version{};  // of TSL
    };
    View view() const {
        std::lock_guard<std::mutex> lock(mutex_);
        View view{name_, out_ ? "out" : "in", protocol_, address_, state_, lastError_,
                  packetsIn_.load(), packetsOut_.load()};
        view.dropped = dropped_.load();
        view.connections = connections_.load();
        view.connectionsRefused = connectionsRefused_.load();
        view.connectionsClosed = connectionsClosed_.load();
        view.unknownRefused = unknownRefused_.load();
        view.retries = retries_;
        view.retryMs = retryMs_;
        view.version = tslVersion_;
        return view;
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
        connected_ = state == "connected";
        ++version_;
    }
    // A sender whose socket takes what it is given now.
    bool connected() const { return connected_.load(); }
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
    void countDropped(std::uint64_t n = 1) {
        dropped_ += n;
        ++version_;
    }
    void setConnections(std::uint64_t n) {
        if (connections_.exchange(n) != n) ++version_;
    }
    void countRefusedConnection() {
        ++connectionsRefused_;
        ++version_;
    }
    void countClosedConnection() {
        ++connectionsClosed_;
        ++version_;
    }
    void countUnknownRefused() {
        ++unknownRefused_;
        ++version_;
    }
    // A failed try to connect; the next comes after `nextMs` (0: connected).
    void setRetry(bool failed, int nextMs) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed) ++retries_;
        retryMs_ = nextMs;
    }

private:
    mutable std::mutex mutex_;
    const std::string name_;
    const bool out_;
    const std::string protocol_;
    const std::string tslVersion_;
    std::string address_;
    std::string state_ = "disconnected";
    std::string lastError_;
    std::atomic<std::uint64_t> packetsIn_{0}, packetsOut_{0}, version_{1};
    std::atomic<std::uint64_t> dropped_{0}, connections_{0}, connectionsRefused_{0},
        connectionsClosed_{0}, unknownRefused_{0};
    std::uint64_t retries_ = 0;
    int retryMs_ = 0;
    std::atomic<bool> connected_{false};
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
