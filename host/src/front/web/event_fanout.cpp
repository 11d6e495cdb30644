// event_fanout.cpp - see event_fanout.h.
#include "front/web/event_fanout.h"

#include <algorithm>

namespace vhost {
namespace web {

std::shared_ptr<EventFanout::Client> EventFanout::add(std::string first,
                                                      std::function<void()> wake) {
    if (closed_ || clients_.size() >= limits_.maxClients) return nullptr;
    auto client = std::make_shared<Client>();
    client->first = std::move(first);
    client->wake = std::move(wake);
    clients_.push_back(client);
    return client;
}

void EventFanout::remove(const std::shared_ptr<Client>& client) {
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void EventFanout::letGo(const std::shared_ptr<Client>& client) {
    const auto found = std::find(clients_.begin(), clients_.end(), client);
    if (found == clients_.end()) return;  // gone already
    if (!client->dropped_) ++dropped_;
    clients_.erase(found);
}

void EventFanout::publish(std::string text) {
    if (clients_.empty()) return;
    const auto message = std::make_shared<const std::string>(std::move(text));
    // A wake may remove its client: call them on a copy.
    const auto clients = clients_;
    for (const auto& client : clients) {
        if (client->dropped_) continue;
        if (!client->messages.empty() &&
            (client->messages.size() >= limits_.maxMessages ||
             client->bytes + message->size() > limits_.maxBytes)) {
            client->dropped_ = true;
            client->messages.clear();
            client->bytes = 0;
            ++dropped_;
        } else {
            client->messages.push_back(message);
            client->bytes += message->size();
        }
        if (client->wake) client->wake();
    }
}

std::size_t EventFanout::takeDropped() {
    const std::size_t count = dropped_;
    dropped_ = 0;
    return count;
}

bool EventFanout::take(Client& client, std::string& out) {
    if (closed_ || client.dropped_) return false;
    out += client.first;
    client.first.clear();
    client.first.shrink_to_fit();
    out.reserve(out.size() + client.bytes);
    for (const auto& message : client.messages) out += *message;
    client.messages.clear();
    client.bytes = 0;
    return true;
}

void EventFanout::close() {
    closed_ = true;
    const auto clients = clients_;
    for (const auto& client : clients) {
        if (client->wake) client->wake();
    }
}

}  // namespace web
}  // namespace vhost
