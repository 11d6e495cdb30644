// out_links.cpp - the senders' sockets (see tsl_links.h).
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
    std::map<std::uint16_t, Tally> latest;
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

    void tcpSend(const Packets& packets, const std::vector<Tally>& tallies) {
        for (const Tally& tally : tallies) latest[tally.index] = tally;
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
        for (const auto& packet : packets) config.codec->frame(packet, waiting);
        waitingPackets += packets.size();
        write();
    }

    void queueRefresh() {
        std::vector<Tally> all;
        all.reserve(latest.size());
        for (const auto& entry : latest) all.push_back(entry.second);
        Packets packets;
        config.codec->encode(all, config.batch, packets);
        waiting.clear();
        for (const auto& packet : packets) config.codec->frame(packet, waiting);
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

void OutLinks::send(std::size_t number, Packets packets, std::vector<Tally> tallies) {
    if (!impl_->thread.running()) return;
    OutLink* link = impl_->links[number].get();
    asio::post(impl_->thread.io, [link, packets = std::move(packets),
                                  tallies = std::move(tallies)] {
        if (!link->usable || link->closing) return;
        if (link->config.protocol == Protocol::Udp) {
            link->udpSend(packets);
        } else {
            link->tcpSend(packets, tallies);
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

}  // namespace tsl
}  // namespace vhost
