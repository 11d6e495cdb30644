// http_session.cpp - see http_session.h.
#include "front/web/http_session.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <nlohmann/json.hpp>

#include "front/json_text.h"

namespace vhost {
namespace web {

namespace http = boost::beast::http;
using boost::beast::error_code;

Reply errorReply(int status, const std::string& message) {
    Reply reply;
    reply.status = status;
    reply.body = jsonText(nlohmann::json{{"error", message}});
    return reply;
}

HttpSession::HttpSession(Socket socket, ConnectionSlot slot, Router& router,
                         const ConnectionLimits& limits)
    : stream_(std::move(socket)),
      slot_(std::move(slot)),
      router_(router),
      limits_(limits),
      // Room for a whole header and body; the parser's limits come first.
      buffer_(limits.headerBytes + limits.bodyBytes + 32 * 1024) {}

void HttpSession::start() { readHeader(); }

void HttpSession::readHeader() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.headerBytes));
    // The body's size is checked once the request is admitted. (Not
    // boost::none: Beast compares a Content-Length with it as with zero.)
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    stream_.expires_after(limits_.headerWithin);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](error_code error, std::size_t bytes) {
                                self->onHeader(error, bytes);
                            });
}

void HttpSession::onHeader(error_code error, std::size_t headerBytes) {
    // The parser's own limit leaves the request line out of its count: it
    // cuts a flood off, this holds the header to its size exactly.
    if (error == http::error::header_limit || (!error && headerBytes > limits_.headerBytes)) {
        return refuse(431, "the request header is over " + std::to_string(limits_.headerBytes) +
                               " bytes");
    }
    if (error == http::error::end_of_stream || error == boost::beast::error::timeout ||
        error == boost::asio::error::operation_aborted || error == boost::asio::error::eof ||
        error == boost::asio::error::connection_reset) {
        return close();
    }
    if (error) return refuse(400, "the request could not be read: " + error.message());
    const Request& header = parser_->get();
    if (static_cast<std::size_t>(std::distance(header.begin(), header.end())) >
        limits_.headerFields) {
        return refuse(431, "the request has over " + std::to_string(limits_.headerFields) +
                               " header fields");
    }
    Reply reply;
    switch (router_.route(header, reply)) {
        case Router::Next::Answer:
            return send(std::move(reply));
        case Router::Next::Stream: {
            stream_.expires_never();
            Socket socket = stream_.release_socket();
            return router_.openStream(std::move(socket), std::move(slot_), header);
        }
        case Router::Next::ReadBody:
            break;
    }
    const auto length = parser_->content_length();
    if (length && *length > limits_.bodyBytes) {
        return refuse(413, "the body is over " + std::to_string(limits_.bodyBytes) + " bytes");
    }
    parser_->body_limit(limits_.bodyBytes);
    stream_.expires_after(limits_.bodyWithin);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](error_code error, std::size_t) {
                         self->onBody(error);
                     });
}

void HttpSession::onBody(error_code error) {
    if (error == http::error::body_limit) {
        return refuse(413, "the body is over " + std::to_string(limits_.bodyBytes) + " bytes");
    }
    if (error == boost::beast::error::timeout || error == boost::asio::error::operation_aborted) {
        return close();
    }
    if (error) return refuse(400, "the body could not be read: " + error.message());
    send(router_.answer(parser_->get()));
}

void HttpSession::refuse(int status, const std::string& message) {
    Reply reply = errorReply(status, message);
    reply.close = true;  // the rest of the request is not read
    send(std::move(reply));
}

void HttpSession::send(Reply reply) {
    if (reply.piece && parser_->is_header_done()) return sendInPieces(std::move(reply));
    const bool headerRead = parser_->is_header_done();
    const bool head = headerRead && parser_->get().method() == http::verb::head;
    const bool keepAlive = !reply.close && headerRead && parser_->get().keep_alive();
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(reply.status), 11);
    response->set(http::field::content_type, reply.contentType);
    response->set(http::field::cache_control, "no-store");
    for (const auto& header : reply.headers) response->set(header.first, header.second);
    response->keep_alive(keepAlive);
    response->body() = std::move(reply.body);
    response->prepare_payload();
    if (head) response->body().clear();  // Content-Length still tells the size
    stream_.expires_after(limits_.writeWithin);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, keepAlive](error_code error, std::size_t) {
                          if (error || !keepAlive) return self->close();
                          self->readHeader();
                      });
}

struct HttpSession::Pieces {
    std::function<std::string(std::size_t, std::size_t)> read;
    std::size_t length;  // the bytes to send (none for HEAD)
};

void HttpSession::sendInPieces(Reply reply) {
    const bool head = parser_->get().method() == http::verb::head;
    const bool keepAlive = !reply.close && parser_->get().keep_alive();
    auto response = std::make_shared<http::response<http::empty_body>>(
        static_cast<http::status>(reply.status), 11);
    response->set(http::field::content_type, reply.contentType);
    response->set(http::field::cache_control, "no-store");
    for (const auto& header : reply.headers) response->set(header.first, header.second);
    response->keep_alive(keepAlive);
    response->content_length(reply.length);
    auto body = std::make_shared<Pieces>(Pieces{std::move(reply.piece), head ? 0 : reply.length});
    stream_.expires_after(limits_.writeWithin);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, body, keepAlive](error_code error,
                                                                             std::size_t) {
                          if (error) return self->close();
                          self->sendPiece(body, 0, keepAlive);
                      });
}

void HttpSession::sendPiece(std::shared_ptr<Pieces> body, std::size_t offset, bool keepAlive) {
    if (offset >= body->length) {
        if (!keepAlive) return close();
        return readHeader();
    }
    const std::size_t wanted = std::min(limits_.pieceBytes, body->length - offset);
    auto piece = std::make_shared<std::string>(body->read(offset, wanted));
    // Fewer bytes than announced: the client sees the answer end early.
    if (piece->empty()) return close();
    if (piece->size() > wanted) piece->resize(wanted);
    stream_.expires_after(limits_.pieceWithin);
    boost::asio::async_write(
        stream_, boost::asio::buffer(*piece),
        [self = shared_from_this(), body, piece, offset, keepAlive](error_code error, std::size_t) {
            if (error) return self->close();
            self->sendPiece(body, offset + piece->size(), keepAlive);
        });
}

void HttpSession::close() {
    error_code ignored;
    stream_.socket().shutdown(Socket::shutdown_send, ignored);
    stream_.close();
}

}  // namespace web
}  // namespace vhost
