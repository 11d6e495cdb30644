// event_fanout.h - delivers the facility's events to the open event streams.
//
// The facility thread publishes; each stream's HTTP thread takes its
// messages. Every client has a bounded queue: a client that falls behind by
// more than the bound is dropped (its stream ends; a browser reconnects and
// starts again from a fresh snapshot), so a slow or vanished browser never
// holds up the facility or grows memory.
#ifndef VESK_HOST_FRONT_WEB_EVENT_FANOUT_H
#define VESK_HOST_FRONT_WEB_EVENT_FANOUT_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vhost {
namespace web {

class EventFanout {
public:
    struct Limits {
        std::size_t maxClients = 16;
        std::size_t maxMessages = 8192;         // queued per client
        std::size_t maxBytes = 4 * 1024 * 1024; // queued per client
    };

    class Client;

    EventFanout() = default;
    explicit EventFanout(Limits limits) : limits_(limits) {}

    // Adds a client whose first message is `first`. Null when there are
    // already as many clients as allowed, or the fanout is closed.
    std::shared_ptr<Client> add(std::string first);
    void remove(const std::shared_ptr<Client>& client);

    // Queues `message` for every client; drops those over their bound.
    void publish(const std::string& message);
    // How many clients were dropped since the last call.
    std::size_t takeDropped();

    // Waits at most `wait` for messages of `client` and moves all of them
    // into `out`, in order (`out` stays empty when none came). False when the
    // client was dropped or the fanout closed: its stream should end.
    bool take(Client& client, std::vector<std::string>& out, std::chrono::milliseconds wait);

    // Ends every stream; adds nothing from now on.
    void close();

    std::size_t clients() const;

private:
    Limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Client>> clients_;
    std::size_t dropped_ = 0;
    bool closed_ = false;
};

class EventFanout::Client {
    friend class EventFanout;
    std::deque<std::string> messages;
    std::size_t bytes = 0;
    bool dropped = false;
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_EVENT_FANOUT_H
