// http_session.h - one HTTP connection of the live page's server: reads a
// request at a time, within limits, and writes the answer.
//
// A connection holds no thread: everything is asynchronous on the server's
// one thread. What a connection may cost is bounded:
//   - the whole header of a request (idle time before it included) must
//     arrive within headerWithin, else the connection is closed;
//   - the header (request line to its empty line) may hold at most
//     headerBytes bytes and headerFields fields (431 beyond);
//   - a body at most bodyBytes (413 beyond), arriving within bodyWithin;
//   - an answer must be taken by the client within writeWithin;
//   - a long answer (a download) goes out in pieces of at most pieceBytes,
//     each fetched only once the client took the one before and each to be
//     taken within pieceWithin: a slow but steady client gets it all, a
//     stalled one is dropped, and no answer is held whole in memory.
// The server decides what a request is (Router) once its header is read,
// before any body: a refused request's body is never read.
#ifndef VESK_HOST_FRONT_WEB_HTTP_SESSION_H
#define VESK_HOST_FRONT_WEB_HTTP_SESSION_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/optional.hpp>

namespace vhost {
namespace web {

using Request = boost::beast::http::request<boost::beast::http::string_body>;
using Socket = boost::asio::ip::tcp::socket;
// Held by a connection while it is open; releasing it frees the connection's
// place in the server's counts.
using ConnectionSlot = std::shared_ptr<void>;

struct ConnectionLimits {
    std::size_t perAddress = 128;  // open connections from one client address
    std::size_t total = 512;       // open connections in all
    std::size_t headerBytes = 16 * 1024;
    std::size_t headerFields = 100;
    std::size_t bodyBytes = 16 * 1024;
    std::chrono::milliseconds headerWithin{10000};
    std::chrono::milliseconds bodyWithin{10000};
    std::chrono::milliseconds writeWithin{10000};
    std::size_t pieceBytes = 64 * 1024;
    std::chrono::milliseconds pieceWithin{10000};
};

struct Reply {
    int status = 200;
    std::string contentType = "application/json; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool close = false;  // end the connection after this answer
    // A long body, sent in pieces instead of `body`: `length` bytes (the
    // Content-Length), each piece read by `piece(offset, max)` when it is
    // due. A piece that comes back empty before the end cuts the answer
    // short and closes the connection.
    std::function<std::string(std::size_t offset, std::size_t max)> piece;
    std::size_t length = 0;
};

// A JSON error answer: {"error": "<message>"}.
Reply errorReply(int status, const std::string& message);

class Router {
public:
    enum class Next { Answer, ReadBody, Stream };

    virtual ~Router() = default;
    // The header of a request has been read: either fill `reply` and answer
    // now, or ask for the body (then answer() is called), or take the
    // connection over as an event stream (then openStream() is called).
    virtual Next route(const Request& header, Reply& reply) = 0;
    virtual Reply answer(const Request& request) = 0;
    virtual void openStream(Socket socket, ConnectionSlot slot, const Request& header) = 0;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(Socket socket, ConnectionSlot slot, Router& router, const ConnectionLimits& limits);
    void start();

private:
    void readHeader();
    void onHeader(boost::beast::error_code error, std::size_t headerBytes);
    void onBody(boost::beast::error_code error);
    void send(Reply reply);
    struct Pieces;
    void sendInPieces(Reply reply);
    void sendPiece(std::shared_ptr<Pieces> body, std::size_t offset, bool keepAlive);
    void refuse(int status, const std::string& message);
    void close();

    boost::beast::tcp_stream stream_;
    ConnectionSlot slot_;
    Router& router_;
    const ConnectionLimits& limits_;
    boost::beast::flat_buffer buffer_;
    boost::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
};

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_HTTP_SESSION_H
