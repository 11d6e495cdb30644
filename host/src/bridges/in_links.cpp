// in_links.cpp - the listeners' sockets (see tsl_links.h).
#include "bridges/tsl_links.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <thread>

#include <boost/asio.hpp>

#include "bridges/io_thread.h"

namespace vhost {
namespace tsl {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

using Clock = std::chrono::steady_clock;

const std::size_t maxDatagramsPerHandoff = 256;
const std::size_t maxBytesPerHandoff = 1 << 20;

}  // namespace

struct InLink;

struct Client : std::enable_shared_from_this<Client> {
    Client(tcp::socket socket, InLink& link, std::unique_ptr<StreamReader> reader)
        : socket(std::move(socket)), link(link), reader(std::move(reader)),
          lastPacket(Clock::now()) {}
    tcp::socket socket;
    InLink& link;
    std::unique_ptr<StreamReader> reader;
    std::array<std::uint8_t, 4096> buffer{};
    Clock::time_point lastPacket;  // or the connection, before the first packet
    Clock::time_point frameBegun;  // of the frame being read, while inFrame()
    bool closed = false;           // by the host; its read has yet to end
    void read();
    void close() {
        closed = true;
        boost::system::error_code ignored;
        socket.close(ignored);
    }
};

struct InLink {
    InLink(asio::io_context& io, const InConfig& config, BridgeStatus& status, std::size_t number)
        : config(config), status(status), number(number), udpSocket(io), acceptor(io) {}

    InConfig config;
    BridgeStatus& status;
    std::size_t number;
    InLinks::Deliver* deliver = nullptr;
    Notices* notices = nullptr;
    udp::socket udpSocket;
    tcp::acceptor acceptor;
    std::vector<std::uint8_t> datagram = std::vector<std::uint8_t>(65536);
    udp::endpoint from;
    std::vector<std::vector<std::uint8_t>> packets;  // one handoff's datagrams
    std::vector<std::weak_ptr<Client>> clients;
    bool refusedSaid = false, partialSaid = false, idleSaid = false, lateSaid = false;
    bool listening = false;

    std::string label() const { return "tsl " + config.name + ": "; }

    // Binds; returns what to tell the user.
    std::string open() {
        boost::system::error_code ec;
        const auto address = asio::ip::make_address(config.address, ec);
        if (ec) return fault(config.address + " is not an IP address");
        unsigned port = 0;
        if (config.protocol == Protocol::Udp) {
            udp::endpoint at(address, config.port);
            udpSocket.open(at.protocol(), ec);
            if (!ec) udpSocket.bind(at, ec);
            if (ec) return fault("cannot listen on udp " + endpointText(config.address, config.port) + ": " + ec.message());
            port = udpSocket.local_endpoint(ec).port();
            receive();
        } else {
            tcp::endpoint at(address, config.port);
            acceptor.open(at.protocol(), ec);
            if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
            if (!ec) acceptor.bind(at, ec);
            if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
            if (ec) return fault("cannot listen on tcp " + endpointText(config.address, config.port) + ": " + ec.message());
            port = acceptor.local_endpoint(ec).port();
            accept();
        }
        status.setAddress(endpointText(config.address, port));
        status.setState("listening");
        listening = true;
        return label() + "listening on " + protocolName(config.protocol) + " " +
               endpointText(config.address, port);
    }

    std::string fault(const std::string& text) {
        status.setError(text);
        return label() + text + "; nothing is received";
    }

    // Says `text` once per listener and kind; it is the bridge's last error each time.
    void tell(bool& said, const std::string& text) {
        status.setError(text);
        if (said) return;
        said = true;
        notices->say(label() + text + " (this is said once; the bridge state counts them)");
    }

    void hand(std::vector<std::vector<std::uint8_t>>& packets, std::vector<Malformed>& faults) {
        if (packets.empty() && faults.empty()) return;
        const std::size_t count = packets.size();
        if (!(*deliver)(number, packets, faults) && count != 0) {
            status.countDropped(count);
            tell(lateSaid, "the facility did not take packets in time; they were dropped");
        }
    }

    void receive() {
        udpSocket.async_receive_from(
            asio::buffer(datagram), from,
            [this](const boost::system::error_code& ec, std::size_t size) {
                if (ec == asio::error::operation_aborted || !udpSocket.is_open()) return;
                if (ec) {
                    status.setError(ec.message());
                } else {
                    packets.clear();
                    packets.emplace_back(datagram.begin(), datagram.begin() + size);
                    takeWaiting();
                    std::vector<Malformed> faults;
                    hand(packets, faults);
                }
                receive();
            });
    }

    // A cut arrives as several datagrams back to back: those already waiting
    // go to the facility in the same handoff (each still a step of its own),
    // instead of one handoff and two thread wake-ups each.
    void takeWaiting() {
        std::size_t bytes = packets.front().size();
        while (packets.size() < maxDatagramsPerHandoff && bytes < maxBytesPerHandoff) {
            boost::system::error_code ec;
            if (udpSocket.available(ec) == 0 || ec) return;
            const std::size_t size = udpSocket.receive_from(asio::buffer(datagram), from, 0, ec);
            if (ec) return;
            packets.emplace_back(datagram.begin(), datagram.begin() + size);
            bytes += size;
        }
    }

    // The mixers connected now, those the host closed left out.
    std::vector<std::shared_ptr<Client>> alive() {
        std::vector<std::shared_ptr<Client>> out;
        clients.erase(std::remove_if(clients.begin(), clients.end(),
                                     [&](const std::weak_ptr<Client>& weak) {
                                         auto client = weak.lock();
                                         if (client && !client->closed) out.push_back(client);
                                         return !client;
                                     }),
                      clients.end());
        return out;
    }

    void accept() {
        acceptor.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
            if (!ec) admit(std::move(socket));
            accept();
        });
    }

    // A full listener gives the place of the mixer that has sent no whole
    // packet for longest, if that is idleMs or more, to the newcomer;
    // otherwise the newcomer is turned away.
    void admit(tcp::socket socket) {
        auto present = alive();
        if (present.size() >= config.maxClients) {
            const auto now = Clock::now();
            std::shared_ptr<Client> idlest;
            for (const auto& client : present) {
                if (!idlest || client->lastPacket < idlest->lastPacket) idlest = client;
            }
            if (idlest && now - idlest->lastPacket >= std::chrono::milliseconds(config.idleMs)) {
                // Counted first: the mixer may see the close before this thread goes on.
                status.countClosedConnection();
                idlest->close();
                tell(idleSaid, "closed a mixer connection that sent nothing for " +
                                   seconds(config.idleMs) + " to make room for a new one");
                present.erase(std::find(present.begin(), present.end(), idlest));
            } else {
                status.countRefusedConnection();
                boost::system::error_code ignored;
                socket.close(ignored);
                tell(refusedSaid, "turned a mixer connection away: " +
                                      std::to_string(config.maxClients) +
                                      " mixers are connected and none is idle");
                return;
            }
        }
        auto client = std::make_shared<Client>(std::move(socket), *this, config.codec->streamReader());
        clients.push_back(client);
        status.setConnections(present.size() + 1);
        client->read();
    }

    // Every 100 ms: a frame begun more than partialFrameMs ago closes its connection.
    void sweep() {
        if (config.protocol != Protocol::Tcp) return;
        const auto now = Clock::now();
        auto present = alive();
        for (const auto& client : present) {
            if (client->reader->inFrame() &&
                now - client->frameBegun >= std::chrono::milliseconds(config.partialFrameMs)) {
                status.countClosedConnection();
                status.countDropped();
                client->close();
                tell(partialSaid, "closed a mixer connection that left a frame unfinished for " +
                                      seconds(config.partialFrameMs));
            }
        }
        status.setConnections(alive().size());
    }

    static std::string seconds(int ms) {
        return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
    }

    void close() {
        boost::system::error_code ignored;
        udpSocket.close(ignored);
        acceptor.close(ignored);
        for (auto& weak : clients) {
            if (auto client = weak.lock()) client->socket.close(ignored);
        }
    }
};

void Client::read() {
    auto self = shared_from_this();
    socket.async_read_some(
        asio::buffer(buffer), [self](const boost::system::error_code& ec, std::size_t size) {
            std::vector<std::vector<std::uint8_t>> packets;
            std::vector<Malformed> faults;
            const StreamReader::OnPacket onPacket = [&](const std::uint8_t* data, std::size_t n) {
                packets.emplace_back(data, data + n);
            };
            const StreamReader::OnFault onFault = [&](Malformed kind) { faults.push_back(kind); };
            if (ec) {
                if (ec != asio::error::operation_aborted && !self->closed) {
                    self->reader->end(onFault);
                }
                self->link.hand(packets, faults);
                if (!self->closed) {
                    self->closed = true;
                    self->link.status.setConnections(self->link.alive().size());
                }
                return;
            }
            const bool wasInFrame = self->reader->inFrame();
            self->reader->feed(self->buffer.data(), size, onPacket, onFault);
            const auto now = Clock::now();
            if (!packets.empty()) self->lastPacket = now;
            // A frame that began in this read began now.
            if (self->reader->inFrame() && (!wasInFrame || !packets.empty() || !faults.empty())) {
                self->frameBegun = now;
            }
            self->link.hand(packets, faults);
            self->read();
        });
}

struct InLinks::Impl {
    Impl(Notices& notices, Deliver deliver, std::function<void()> every)
        : notices(notices), deliver(std::move(deliver)), every(std::move(every)),
          ticker(thread.io) {}
    Notices& notices;
    Deliver deliver;
    std::function<void()> every;
    IoThread thread;
    asio::steady_timer ticker;
    std::vector<std::unique_ptr<InLink>> links;
    bool stopping = false;

    void tick() {
        ticker.expires_after(std::chrono::milliseconds(100));
        ticker.async_wait([this](const boost::system::error_code& ec) {
            if (ec || stopping) return;
            for (auto& link : links) link->sweep();
            every();
            tick();
        });
    }
};

InLinks::InLinks(Notices& notices, Deliver deliver, std::function<void()> every100ms)
    : impl_(std::make_unique<Impl>(notices, std::move(deliver), std::move(every100ms))) {}

InLinks::~InLinks() { stop(); }

std::size_t InLinks::add(const InConfig& config, BridgeStatus& status) {
    impl_->links.push_back(
        std::make_unique<InLink>(impl_->thread.io, config, status, impl_->links.size()));
    impl_->links.back()->deliver = &impl_->deliver;
    impl_->links.back()->notices = &impl_->notices;
    return impl_->links.size() - 1;
}

bool InLinks::start() {
    if (impl_->thread.running()) return true;
    impl_->thread.start();
    return impl_->thread.call([this] {
        bool all = true;
        for (auto& link : impl_->links) {
            impl_->notices.say(link->open());
            all = all && link->listening;
        }
        impl_->tick();
        return all;
    });
}

void InLinks::stop() {
    if (!impl_->thread.running()) return;
    impl_->thread.call([this] {
        impl_->stopping = true;
        impl_->ticker.cancel();
        for (auto& link : impl_->links) link->close();
        return 0;
    });
    impl_->thread.join();
}

}  // namespace tsl
}  // namespace vhost
