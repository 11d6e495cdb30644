// tsl_links.cpp - see tsl_links.h.
#include "bridges/tsl_links.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <future>
#include <map>
#include <thread>

#include <boost/asio.hpp>

namespace vhost {
namespace tsl {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

using Clock = std::chrono::steady_clock;

const std::size_t maxDatagramsPerHandoff = 256;
const std::size_t maxBytesPerHandoff = 1 << 20;

// Runs an io_context on a thread of its own until stopped.
class IoThread {
public:
    asio::io_context io;
    void start() {
        if (thread_.joinable()) return;
        thread_ = std::thread([this] { io.run(); });
    }
    bool running() const { return thread_.joinable(); }
    // Runs `job` on the io thread and waits for its result.
    template <typename Job>
    auto call(Job job) -> decltype(job()) {
        std::packaged_task<decltype(job())()> task(std::move(job));
        auto result = task.get_future();
        asio::post(io, [&task] { task(); });
        return result.get();
    }
    void join() {
        work_.reset();
        if (thread_.joinable()) thread_.join();
    }

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_ =
        asio::make_work_guard(io);
    std::thread thread_;
};

}  // namespace

// ---- out ---------------------------------------------------------------------

struct OutLink {
    OutLink(asio::io_context& io, const OutConfig& config, BridgeStatus& status, Notices& notices)
        : config(config), status(status), notices(notices), udpSocket(io), tcpSocket(io),
          retry(io) {}

    OutConfig config;
    BridgeStatus& status;
    Notices& notices;
    udp::socket udpSocket;
    tcp::socket tcpSocket;
    asio::steady_timer retry;
    udp::endpoint udpPeer;
    tcp::endpoint tcpPeer;
    bool usable = false;
    std::string lastError;
    // TCP
    bool connected = false;
    bool complained = false;  // the outage was reported; said again only once it is over
    int backoffMs = config.firstRetryMs;
    std::map<std::uint16_t, Display> latest;
    std::vector<std::uint8_t> writing, waiting;
    std::size_t writingPackets = 0, waitingPackets = 0;
    bool writeBusy = false;
    bool refreshWanted = false;
    bool closing = false;
    std::array<std::uint8_t, 512> readBuffer{};

    std::string where() const { return endpointText(config.address, config.port); }
    std::string label() const { return "tsl " + config.name + ": "; }

    void open() {
        boost::system::error_code ec;
        const auto address = asio::ip::make_address(config.address, ec);
        if (ec) {
            status.setError("not an IP address: " + config.address);
            notices.say(label() + config.address + " is not an IP address; nothing is sent");
            return;
        }
        usable = true;
        if (config.protocol == Protocol::Udp) {
            udpPeer = udp::endpoint(address, config.port);
            udpSocket.open(udpPeer.protocol(), ec);
            if (ec) {
                usable = false;
                status.setError(ec.message());
                notices.say(label() + "cannot open a UDP socket: " + ec.message());
                return;
            }
            status.setState("connected");
        } else {
            tcpPeer = tcp::endpoint(address, config.port);
            connect();
        }
    }

    void fail(const std::string& what, const boost::system::error_code& ec) {
        status.setError(ec.message());
        if (complained) return;
        complained = true;
        notices.say(label() + what + " " + where() + " (" + ec.message() +
                    "); trying again in the background");
    }

    void udpSend(const std::vector<std::vector<std::uint8_t>>& packets) {
        for (const auto& packet : packets) {
            boost::system::error_code ec;
            udpSocket.send_to(asio::buffer(packet), udpPeer, 0, ec);
            if (ec) {
                if (ec.message() != lastError) {
                    lastError = ec.message();
                    status.setError(lastError);
                    notices.say(label() + "cannot send to " + where() + ": " + lastError);
                }
            } else {
                status.countOut();
            }
        }
    }

    void tcpSend(const std::vector<std::vector<std::uint8_t>>& packets,
                 const std::vector<Display>& displays) {
        for (const Display& display : displays) latest[display.index] = display;
        if (!connected) return;
        if (waiting.size() > config.maxBacklog) {
            // The peer reads too slowly: send the newest levels instead of every step.
            if (!refreshWanted) {
                notices.say(label() + where() +
                            " does not keep up; sending only the newest level of each display");
            }
            refreshWanted = true;
            waiting.clear();
            waitingPackets = 0;
            return;
        }
        if (refreshWanted) return;
        for (const auto& packet : packets) frame(packet, waiting);
        waitingPackets += packets.size();
        write();
    }

    void queueRefresh() {
        std::vector<Display> all;
        all.reserve(latest.size());
        for (const auto& entry : latest) all.push_back(entry.second);
        std::vector<std::vector<std::uint8_t>> packets;
        if (config.batch) {
            encode(config.screen, all, packets);
        } else {
            for (const Display& display : all) encode(config.screen, {display}, packets);
        }
        waiting.clear();
        for (const auto& packet : packets) frame(packet, waiting);
        waitingPackets = packets.size();
        refreshWanted = false;
    }

    void write() {
        if (writeBusy || !connected) return;
        if (refreshWanted) queueRefresh();
        if (waiting.empty()) return;
        writing.swap(waiting);
        waiting.clear();
        writingPackets = waitingPackets;
        waitingPackets = 0;
        writeBusy = true;
        asio::async_write(tcpSocket, asio::buffer(writing),
                          [this](const boost::system::error_code& ec, std::size_t) {
                              writeBusy = false;
                              if (ec) {
                                  lost(ec);
                                  return;
                              }
                              status.countOut(writingPackets);
                              write();
                          });
    }

    void connect() {
        if (closing) return;
        tcpSocket.async_connect(tcpPeer, [this](const boost::system::error_code& ec) {
            if (closing) return;
            if (ec) {
                boost::system::error_code ignored;
                tcpSocket.close(ignored);
                fail("cannot reach", ec);
                again();
                return;
            }
            connected = true;
            backoffMs = config.firstRetryMs;
            status.setRetry(false, 0);
            boost::system::error_code ignored;
            tcpSocket.set_option(tcp::no_delay(true), ignored);
            status.setState("connected");
            if (complained) notices.say(label() + "connected to " + where() + " again");
            complained = false;
            queueRefresh();
            write();
            read();
        });
    }

    void again() {
        retry.expires_after(std::chrono::milliseconds(backoffMs));
        status.setRetry(true, backoffMs);
        backoffMs = std::min(backoffMs * 2, config.lastRetryMs);
        retry.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) connect();
        });
    }

    // The peer has nothing to say; reading finds out when it goes away.
    void read() {
        tcpSocket.async_read_some(asio::buffer(readBuffer),
                                  [this](const boost::system::error_code& ec, std::size_t) {
                                      if (ec) {
                                          lost(ec);
                                      } else {
                                          read();
                                      }
                                  });
    }

    void lost(const boost::system::error_code& ec) {
        if (!connected || closing) return;
        connected = false;
        boost::system::error_code ignored;
        tcpSocket.close(ignored);
        waiting.clear();
        waitingPackets = 0;
        status.setState("disconnected");
        fail("lost", ec);
        again();
    }

    bool idle() const { return !connected || (!writeBusy && waiting.empty()); }

    void close() {
        closing = true;
        boost::system::error_code ignored;
        retry.cancel();
        udpSocket.close(ignored);
        tcpSocket.close(ignored);
    }
};

struct OutLinks::Impl {
    explicit Impl(Notices& notices) : notices(notices) {}
    Notices& notices;
    IoThread thread;
    std::vector<std::unique_ptr<OutLink>> links;
};

OutLinks::OutLinks(Notices& notices) : impl_(std::make_unique<Impl>(notices)) {}

OutLinks::~OutLinks() { stop(0); }

std::size_t OutLinks::add(const OutConfig& config, BridgeStatus& status) {
    impl_->links.push_back(
        std::make_unique<OutLink>(impl_->thread.io, config, status, impl_->notices));
    return impl_->links.size() - 1;
}

void OutLinks::start() {
    if (impl_->links.empty() || impl_->thread.running()) return;
    impl_->thread.start();
    impl_->thread.call([this] {
        for (auto& link : impl_->links) link->open();
        return 0;
    });
}

void OutLinks::send(std::size_t number, std::vector<std::vector<std::uint8_t>> packets,
                    std::vector<Display> displays) {
    if (!impl_->thread.running()) return;
    OutLink* link = impl_->links[number].get();
    asio::post(impl_->thread.io, [link, packets = std::move(packets),
                                  displays = std::move(displays)] {
        if (!link->usable || link->closing) return;
        if (link->config.protocol == Protocol::Udp) {
            link->udpSend(packets);
        } else {
            link->tcpSend(packets, displays);
        }
    });
}

void OutLinks::stop(int graceMs) {
    if (!impl_->thread.running()) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    for (;;) {
        const bool idle = impl_->thread.call([this] {
            for (auto& link : impl_->links) {
                if (!link->idle()) return false;
            }
            return true;
        });
        if (idle || std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    impl_->thread.call([this] {
        for (auto& link : impl_->links) link->close();
        return 0;
    });
    impl_->thread.join();
}

// ---- in ----------------------------------------------------------------------

struct InLink;

struct Client : std::enable_shared_from_this<Client> {
    Client(tcp::socket socket, InLink& link)
        : socket(std::move(socket)), link(link), lastPacket(Clock::now()) {}
    tcp::socket socket;
    InLink& link;
    Deframer deframer;
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
        auto client = std::make_shared<Client>(std::move(socket), *this);
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
            if (client->deframer.inFrame() &&
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
            auto onPacket = [&](const std::uint8_t* data, std::size_t n) {
                packets.emplace_back(data, data + n);
            };
            auto onFault = [&](Malformed kind) { faults.push_back(kind); };
            if (ec) {
                if (ec != asio::error::operation_aborted && !self->closed) {
                    self->deframer.end(onFault);
                }
                self->link.hand(packets, faults);
                if (!self->closed) {
                    self->closed = true;
                    self->link.status.setConnections(self->link.alive().size());
                }
                return;
            }
            const bool wasInFrame = self->deframer.inFrame();
            self->deframer.feed(self->buffer.data(), size, onPacket, onFault);
            const auto now = Clock::now();
            if (!packets.empty()) self->lastPacket = now;
            // A frame that began in this read began now.
            if (self->deframer.inFrame() && (!wasInFrame || !packets.empty() || !faults.empty())) {
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
