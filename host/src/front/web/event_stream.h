// event_stream.h - one open event stream (GET /api/events): writes its
// client's messages from the EventFanout as they come.
//
// The stream ends, and its place among the streams is freed, as soon as the
// client closes the connection, a write is not taken within the write
// deadline, or the fanout drops the client for falling behind; in that last
// case the client is told so, where it still reads, with
//   data: {"type":"dropped","reason":"fell behind"}
#ifndef VESK_HOST_FRONT_WEB_EVENT_STREAM_H
#define VESK_HOST_FRONT_WEB_EVENT_STREAM_H

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/steady_timer.hpp>

#include "front/web/event_fanout.h"
#include "front/web/http_session.h"

namespace vhost {
namespace web {

class EventStream : public std::enable_shared_from_this<EventStream> {
public:
    EventStream(Socket socket, ConnectionSlot slot, EventFanout& fanout,
                std::chrono::milliseconds writeWithin);

    // Joins the fanout with `hello` as the first message, after the HTTP
    // header. False when the fanout has no room: nothing was written.
    bool start(const std::string& hello);

private:
    void wake();
    void pump();
    void write(std::string batch);
    void readUntilClosed();
    void end();

    Socket socket_;
    ConnectionSlot slot_;
    EventFanout& fanout_;
    std::chrono::milliseconds writeWithin_;
    boost::asio::steady_timer writeDeadline_;
    std::shared_ptr<EventFanout::Client> client_;
    std::string pending_;  // the HTTP header, until the first write
    std::string writing_;
    std::array<char, 512> ignored_{};
    bool pumpQueued_ = false;
    bool busy_ = false;    // a write is under way
    bool ending_ = false;  // the last write is under way
    bool ended_ = false;
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_EVENT_STREAM_H
