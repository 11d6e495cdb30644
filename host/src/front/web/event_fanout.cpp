// event_fanout.cpp - see event_fanout.h.
#include "front/web/event_fanout.h"

#include <algorithm>

namespace vhost {
namespace web {

std::shared_ptr<EventFanout::Client> EventFanout::add(std::string first) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || clients_.size() >= limits_.maxClients) return nullptr;
    auto client = std::make_shared<Client>();
    client->bytes = first.size();
    client->messages.push_back(std::move(first));
    clients_.push_back(client);
    return client;
}

void EventFanout::remove(const std::shared_ptr<Client>& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void EventFanout::publish(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool any = false;
    for (auto& client : clients_) {
        if (client->dropped) continue;
        if (client->messages.size() >= limits_.maxMessages ||
            client->bytes + message.size() > limits_.maxBytes) {
            client->dropped = true;
            client->messages.clear();
            client->bytes = 0;
            ++dropped_;
        } else {
            client->messages.push_back(message);
            client->bytes += message.size();
        }
        any = true;
    }
    if (any) changed_.notify_all();
}

std::size_t EventFanout::takeDropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t count = dropped_;
    dropped_ = 0;
    return count;
}

bool EventFanout::take(Client& client, std::vector<std::string>& out,
                       std::chrono::milliseconds wait) {
    out.clear();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, wait,
                      [&] { return closed_ || client.dropped || !client.messages.empty(); });
    if (closed_ || client.dropped) return false;
    out.assign(std::make_move_iterator(client.messages.begin()),
               std::make_move_iterator(client.messages.end()));
    client.messages.clear();
    client.bytes = 0;
    return true;
}

void EventFanout::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

std::size_t EventFanout::clients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

}  // namespace web
}  // namespace vhost
