// event_stream.cpp - see event_stream.h.
#include "front/web/event_stream.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace vhost {
namespace web {

namespace {

// The body runs until the connection closes: no length, no chunks.
const char streamHeader[] =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/event-stream\r\n"
    "Cache-Control: no-store\r\n"
    "X-Accel-Buffering: no\r\n"
    "Connection: close\r\n"
    "\r\n";
const char droppedMessage[] = "data: {\"type\":\"dropped\",\"reason\":\"fell behind\"}\n\n";

}  // namespace

EventStream::EventStream(Socket socket, ConnectionSlot slot, EventFanout& fanout,
                         std::chrono::milliseconds writeWithin)
    : socket_(std::move(socket)),
      slot_(std::move(slot)),
      fanout_(fanout),
      writeWithin_(writeWithin),
      writeDeadline_(socket_.get_executor()) {}

bool EventStream::start(const std::string& hello) {
    std::weak_ptr<EventStream> self = shared_from_this();
    client_ = fanout_.add(hello, [self] {
        if (auto stream = self.lock()) stream->wake();
    });
    if (client_ == nullptr) return false;
    pending_ = streamHeader;
    pump();
    readUntilClosed();
    return true;
}

// Called from inside the facility's calls: the write starts later.
void EventStream::wake() {
    if (pumpQueued_ || ended_) return;
    pumpQueued_ = true;
    boost::asio::post(socket_.get_executor(), [self = shared_from_this()] {
        self->pumpQueued_ = false;
        self->pump();
    });
}

void EventStream::pump() {
    if (busy_ || ended_) return;
    std::string batch = std::move(pending_);
    pending_.clear();
    if (!fanout_.take(*client_, batch)) {
        if (client_->dropped()) batch += droppedMessage;
        ending_ = true;
    }
    if (!batch.empty()) return write(std::move(batch));
    if (ending_) end();
}

void EventStream::write(std::string batch) {
    busy_ = true;
    writing_ = std::move(batch);
    writeDeadline_.expires_after(writeWithin_);
    writeDeadline_.async_wait([self = shared_from_this()](boost::system::error_code error) {
        if (error) return;
        // The client does not take what is sent: it fell behind.
        self->fanout_.letGo(self->client_);
        self->end();
    });
    boost::asio::async_write(socket_, boost::asio::buffer(writing_),
                             [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                                 self->busy_ = false;
                                 self->writeDeadline_.cancel();
                                 self->writing_.clear();
                                 if (error || self->ending_) return self->end();
                                 self->pump();
                             });
}

// A stream's client sends nothing; a read ends when it goes away.
void EventStream::readUntilClosed() {
    socket_.async_read_some(boost::asio::buffer(ignored_),
                            [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                                if (error) return self->end();
                                self->readUntilClosed();
                            });
}

void EventStream::end() {
    if (ended_) return;
    ended_ = true;
    fanout_.remove(client_);
    writeDeadline_.cancel();
    boost::system::error_code ignored;
    socket_.shutdown(Socket::shutdown_both, ignored);
    socket_.close(ignored);
}

}  // namespace web
}  // namespace vhost
