// event_fanout.h - delivers the facility's events to the open event streams.
//
// Every client has a bounded queue: a client that falls behind by more than
// the bound is dropped (its stream ends; a browser reconnects and starts
// again from a fresh snapshot), so a slow or vanished browser never holds up
// the facility or grows memory. Falling behind means still holding unsent
// messages when more come: a message that finds the queue empty is always
// taken, however large (a burst is one message), so a client that keeps up
// is never dropped, and a queue holds at most the bound plus one message.
// A stream that gives up on a reader which takes nothing at all is counted
// among the dropped as well (letGo), so every such drop is reported.
// A client's first message (the snapshot) is kept apart and never counts
// against the bound: however large the facility, a new stream starts.
// A message is kept once, shared by every client that still has to send it.
//
// Used on one thread: the one that runs the facility and the server.
#ifndef VESK_HOST_FRONT_WEB_EVENT_FANOUT_H
#define VESK_HOST_FRONT_WEB_EVENT_FANOUT_H

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
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

    // Adds a client whose first message is `first`; `wake` is called
    // whenever it has something new to take or has been dropped. Null when
    // there are already as many clients as allowed, or the fanout is closed.
    std::shared_ptr<Client> add(std::string first, std::function<void()> wake = {});
    void remove(const std::shared_ptr<Client>& client);
    // Removes a client whose stream gave up on it: its reader took nothing
    // within the write deadline. Counted among the dropped, as it fell behind
    // too, however little was queued for it.
    void letGo(const std::shared_ptr<Client>& client);

    // Queues `message` for every client; drops those that fell behind.
    void publish(std::string message);
    // How many clients were dropped since the last call.
    std::size_t takeDropped();

    // Appends everything queued for `client` to `out`, in order, and empties
    // its queue. False when the client was dropped or the fanout closed: its
    // stream should end.
    bool take(Client& client, std::string& out);

    // Ends every stream; adds nothing from now on.
    void close();

    std::size_t clients() const { return clients_.size(); }

private:
    Limits limits_;
    std::vector<std::shared_ptr<Client>> clients_;
    std::size_t dropped_ = 0;
    bool closed_ = false;
};

class EventFanout::Client {
public:
    // Dropped for falling behind (not merely closed).
    bool dropped() const { return dropped_; }

private:
    friend class EventFanout;
    std::string first;
    std::deque<std::shared_ptr<const std::string>> messages;
    std::size_t bytes = 0;
    bool dropped_ = false;
    std::function<void()> wake;
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_EVENT_FANOUT_H
