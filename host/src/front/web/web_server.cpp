// web_server.cpp - see web_server.h.
//
// One thread runs everything: the facility, its clock, and every connection,
// all asynchronous on one io_context. A slow or idle client holds no thread,
// only its connection's bounded buffers, and the facility is never touched
// from elsewhere.
#include "front/web/web_server.h"

#include <chrono>
#include <iterator>
#include <map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "front/json_text.h"
#include "front/web/access_rules.h"
#include "front/web/api_requests.h"
#include "front/web/event_fanout.h"
#include "front/web/event_stream.h"
#include "front/web/flush_pacing.h"
#include "front/web/http_session.h"
#include "front/web/page_files.h"
#include "front/web/request_deadline.h"
#include "front/web/viewer_list.h"
#include "platform/sockets.h"
#include "platform/stop_requests.h"

namespace vhost {
namespace web {

namespace {

namespace asio = boost::asio;
using nlohmann::json;
using std::chrono::milliseconds;
using tcp = asio::ip::tcp;

const milliseconds tick(10);  // the clock follows the wall clock this closely

Reply jsonReply(int status, const json& body) {
    Reply reply;
    reply.status = status;
    reply.body = jsonText(body);
    return reply;
}

std::string urlHost(const std::string& address) {
    if (address.find(':') != std::string::npos) return "[" + address + "]";
    if (isWildcardAddress(address)) return "127.0.0.1";
    return address;
}

// "/api/events?token=x" -> "/api/events"
std::string pathOf(const std::string& target) { return target.substr(0, target.find('?')); }

// The value of `name` in the target's query, as sent ("" when absent).
std::string queryValue(const std::string& target, const std::string& name) {
    const auto question = target.find('?');
    if (question == std::string::npos) return "";
    std::size_t at = question + 1;
    while (at <= target.size()) {
        const auto end = std::min(target.find('&', at), target.size());
        const std::string pair = target.substr(at, end - at);
        if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
        at = end + 1;
    }
    return "";
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

class LiveServer::Impl : public Router, public EventOutlet {
public:
    ~Impl() override {
        closing_ = true;
        // Handlers still queued own the connections, whose slots refer to
        // the counts below: they go first.
        stopRequests_.reset();
        ticker_.reset();
        flushTimer_.reset();
        acceptor_.reset();
        io_.reset();
    }

    bool open(const ServeOptions& options, std::string& error) {
        options_ = options;
        if (options.limits != nullptr) limits_ = *options.limits;
        maxStreams_ = options.maxStreams;
        fanout_ = EventFanout(EventFanout::Limits{maxStreams_});
        rules_.address = options.address;
        rules_.token = options.token;
        if (!rules_.token.empty() && !validToken(rules_.token, error)) {
            error = "--token: " + error;
            return false;
        }
        generatedToken_ = rules_.token.empty() && !isLoopbackAddress(options.address);
        if (generatedToken_) rules_.token = generateToken();

        boost::system::error_code failed;
        const auto address = asio::ip::make_address(
            options.address == "localhost" ? "127.0.0.1" : options.address, failed);
        const tcp::endpoint endpoint(address, static_cast<unsigned short>(options.port));
        acceptor_ = std::make_unique<tcp::acceptor>(*io_);
        if (!failed) acceptor_->open(endpoint.protocol(), failed);
        // A restarted host takes its port again; two hosts never share it.
        if (!failed) claimPortAlone(*acceptor_, failed);
        if (!failed) acceptor_->bind(endpoint, failed);
        if (!failed) acceptor_->listen(asio::socket_base::max_listen_connections, failed);
        if (failed) {
            error = "cannot listen on " + urlHost(options.address) + ":" +
                    std::to_string(options.port) + ": " + failed.message();
            return false;
        }
        rules_.port = acceptor_->local_endpoint().port();

        for (const char* path : {"/", "/tally.html", "/overview.html"}) {
            std::string html = pageText(path);
            if (!rules_.token.empty()) {
                // The page's own files are fetched with the token too.
                replaceAll(html, ".js\"", ".js?token=" + rules_.token + "\"");
                replaceAll(html, ".css\"", ".css?token=" + rules_.token + "\"");
            }
            htmlPages_[path] = html;
        }
        return true;
    }

    int port() const { return rules_.port; }

    void run(LiveBackend& backend, std::ostream& log) {
        backend_ = &backend;
        log_ = &log;
        backend.setEventOutlet(this);

        std::string url = "http://" + urlHost(options_.address) + ":" + std::to_string(rules_.port) + "/";
        if (!rules_.token.empty()) url += "?token=" + rules_.token;
        log << "vesk-host: live page at " << url << std::endl;
        if (generatedToken_) {
            log << "vesk-host: " << options_.address
                << " is not a loopback address, so every request needs the token " << rules_.token
                << std::endl;
        }

        // Ctrl-C, SIGTERM, or a closed console window on Windows.
        stopRequests_ = std::make_unique<StopRequests>(*io_, [this] { stop(); });
        ticker_ = std::make_unique<asio::steady_timer>(*io_);
        flushTimer_ = std::make_unique<asio::steady_timer>(*io_);
        started_ = std::chrono::steady_clock::now();
        base_ = backend.now();
        nextTick_ = started_;
        nextHeartbeat_ = started_ + options_.heartbeatEvery;
        scheduleTick();
        accept();
        if (options_.facilityThread) {
            options_.facilityThread([this, io = io_.get()](std::function<void()> job) {
                asio::post(*io, [this, job = std::move(job)] {
                    job();
                    flushPacing_.worked(std::chrono::steady_clock::now());
                });
            });
        }
        io_->run();
        if (options_.facilityThread) options_.facilityThread(nullptr);

        // Every connection ends here, whatever its client is doing.
        closing_ = true;
        stopRequests_.reset();
        ticker_.reset();
        flushTimer_.reset();
        acceptor_.reset();
        io_.reset();
        backend.setEventOutlet(nullptr);
        log << "vesk-host: live page stopped" << std::endl;
    }

    // Router
    Next route(const Request& header, Reply& reply) override {
        namespace http = boost::beast::http;
        RequestFraming framing;
        const auto hosts = header.equal_range(http::field::host);
        framing.hostFields = static_cast<std::size_t>(std::distance(hosts.first, hosts.second));
        for (const auto& field : header) {
            if (field.name() == http::field::transfer_encoding) {
                framing.transferEncodings.emplace_back(field.value());
            } else if (field.name() == http::field::content_encoding) {
                framing.contentEncodings.emplace_back(field.value());
            }
        }
        const Refusal unreadable = checkFraming(framing);
        if (unreadable.status != 0) {
            reply = errorReply(unreadable.status, unreadable.message);
            reply.close = true;  // the body is not read
            return Next::Answer;
        }
        const std::string target(header.target());
        RequestFacts facts;
        facts.method = std::string(header.method_string());
        facts.path = pathOf(target);
        facts.host = std::string(header[boost::beast::http::field::host]);
        const auto origin = header.find(boost::beast::http::field::origin);
        const std::string originText = origin != header.end() ? std::string(origin->value()) : "";
        if (origin != header.end()) facts.origin = &originText;
        facts.authorization = std::string(header[boost::beast::http::field::authorization]);
        facts.queryToken = queryValue(target, "token");
        const Refusal refusal = checkAccess(rules_, facts);
        if (refusal.status != 0) {
            reply = errorReply(refusal.status, refusal.message);
            if (refusal.status == 401) reply.headers.emplace_back("WWW-Authenticate", "Bearer");
            reply.close = true;  // a refused request's body is not read
            return Next::Answer;
        }
        if (facts.method == "POST") {
            const Refusal late = checkDeadline(std::string(header[deadlineField]), wallClockMs());
            if (late.status != 0) {
                reply = errorReply(late.status, late.message);
                reply.close = true;  // the body is not read
                return Next::Answer;
            }
        }
        const Endpoint endpoint = endpointFor(facts.method, facts.path);
        if (endpoint.next == Next::Answer) reply = endpoint.answer(header);
        return endpoint.next;
    }

    Reply answer(const Request& request) override {
        return endpointFor(std::string(request.method_string()), pathOf(std::string(request.target())))
            .answer(request);
    }

    // EventOutlet
    bool listening() const override { return fanout_.clients() > 0; }
    void publish(std::string event) override {
        // Numbered, so that a reader of two streams at once (the page's
        // shared stream, while it changes streams) can tell which
        // messages it already has.
        const std::string id = std::to_string(++lastEventId_);
        std::string message;
        message.reserve(event.size() + id.size() + 13);
        message += "id: ";
        message += id;
        message += "\ndata: ";
        message += event;
        message += "\n\n";
        fanout_.publish(std::move(message));
    }
    void flushSoon() override {
        std::chrono::steady_clock::time_point wakeAt;
        if (flushPacing_.ask(std::chrono::steady_clock::now(), wakeAt)) waitToFlush(wakeAt);
    }
    void waitToFlush(std::chrono::steady_clock::time_point wakeAt) {
        flushTimer_->expires_at(wakeAt);
        flushTimer_->async_wait([this](const boost::system::error_code& error) {
            if (error) return;
            const auto again = flushPacing_.fire(std::chrono::steady_clock::now());
            if (again) {
                waitToFlush(*again);
            } else if (backend_ != nullptr) {
                backend_->flushEvents();
            }
        });
    }

    void openStream(Socket socket, ConnectionSlot slot, const Request& header) override {
        advanceClock();
        // What the work before gathered goes to the streams already open.
        backend_->flushEvents();
        // Who watches: listed from now until the stream ends; the others are told.
        boost::system::error_code error;
        const auto remote = socket.remote_endpoint(error);
        const std::uint64_t viewer =
            viewers_.add(error ? std::string() : remote.address().to_string(),
                         ViewerList::viewsOf(std::string(header.target())), wallClockMs());
        publishViewers();
        ConnectionSlot listed(nullptr, [this, viewer, inner = std::move(slot)](void*) {
            viewers_.remove(viewer);
            if (!closing_) publishViewers();
        });
        // The snapshot and the subscription in one step, so that the stream
        // misses no event and repeats none.
        // The host's wall clock, by which the page sets its requests' deadlines.
        // (Written as a JSON tree prints it: its keys in order.)
        std::string hello = "{\"state\":";
        hello += backend_->snapshot({{"viewers", jsonText(viewers_.json())}});
        hello += ",\"type\":\"hello\",\"wall_ms\":";
        hello += std::to_string(wallClockMs());
        hello += '}';
        auto stream = std::make_shared<EventStream>(std::move(socket), std::move(listed), fanout_,
                                                    limits_.writeWithin);
        // Its id is that of the last message the snapshot holds.
        stream->start("retry: 1000\nid: " + std::to_string(lastEventId_) + "\ndata: " + hello + "\n\n");
    }

private:
    // What a method and path lead to. A new endpoint is one line here.
    struct Endpoint {
        Next next;
        std::function<Reply(const Request&)> answer;
    };
    Endpoint endpointFor(const std::string& method, const std::string& path) {
        const bool get = method == "GET" || method == "HEAD";
        if (get && path == "/api/state") return {Next::Answer, [this](const Request&) { return state(); }};
        if (get && path == "/api/recording") return {Next::Answer, [this](const Request&) { return recording(); }};
        if (get && path == "/api/events") {
            if (fanout_.clients() < maxStreams_) return {Next::Stream, nullptr};
            return refusal(503, "too many open event streams (at most " + std::to_string(maxStreams_) + ")");
        }
        if (method == "POST" && isApiPost(path)) {
            return {Next::ReadBody, [this, path](const Request& r) { return post(path, r.body()); }};
        }
        if (get) return {Next::Answer, [this, path](const Request&) { return page(path); }};
        if (method == "POST") return refusal(404, "no such endpoint: POST " + path);
        return refusal(405, "method " + method + " is not served here");
    }

    static Endpoint refusal(int status, const std::string& message) {
        return {Next::Answer, [status, message](const Request&) {
                    Reply reply = errorReply(status, message);
                    reply.close = true;  // a body, if any, is not read
                    return reply;
                }};
    }

    Reply state() {
        advanceClock();
        Reply reply;
        reply.body = backend_->snapshot({});
        return reply;
    }

    // The recording as it stands now, sent a piece at a time as the client
    // takes them: each piece is read on this thread between other work, so
    // the facility waits for one piece at most, never for the whole file.
    Reply recording() {
        std::string none;
        const auto size = backend_->recording(0, 0, none);
        if (!size) return errorReply(404, "this host keeps no recording");
        Reply reply;
        reply.contentType = "text/plain; charset=utf-8";
        reply.headers = {{"Content-Disposition", "attachment; filename=\"rehearsal.vesk\""}};
        reply.length = *size;
        reply.piece = [this](std::size_t offset, std::size_t max) {
            std::string piece;
            backend_->recording(offset, max, piece);
            return piece;
        };
        return reply;
    }

    Reply post(const std::string& path, const std::string& body) {
        BackendCall call;
        Outcome outcome;
        if (readApiPost(path, body, call, outcome)) {
            advanceClock();
            try {
                outcome = call(*backend_);
            } catch (const std::exception& e) {
                outcome = errorOutcome(500, std::string("the facility failed: ") + e.what());
            }
        }
        return jsonReply(outcome.status, outcome.body);
    }

    // The tally view of one component (/tally/NAME, its picker at /tally/)
    // and the overview are pages of their own.
    static std::string pageFileFor(const std::string& path) {
        if (path == "/tally" || path.compare(0, 7, "/tally/") == 0) {
            return path.find('/', 7) == std::string::npos ? "/tally.html" : path;
        }
        if (path == "/overview") return "/overview.html";
        return path;
    }

    Reply page(const std::string& requested) const {
        const std::string path = pageFileFor(requested);
        const PageFile* file = findPageFile(path);
        if (file == nullptr) return errorReply(404, "no such page: " + requested);
        Reply reply;
        reply.contentType = file->contentType;
        reply.headers = {{"X-Content-Type-Options", "nosniff"}, {"Referrer-Policy", "same-origin"}};
        const auto html = htmlPages_.find(path);
        if (html != htmlPages_.end()) {
            reply.headers.emplace_back("Content-Security-Policy",
                                       "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
            reply.body = html->second;
        } else {
            reply.body.assign(reinterpret_cast<const char*>(file->data), file->size);
        }
        return reply;
    }

    static std::string pageText(const std::string& path) {
        const PageFile* file = findPageFile(path);
        return file ? std::string(reinterpret_cast<const char*>(file->data), file->size) : "";
    }

    void accept() {
        acceptor_->async_accept([this](boost::system::error_code error, tcp::socket socket) {
            if (error == asio::error::operation_aborted) return;
            if (!error) admit(std::move(socket));
            // Out of descriptors and the like: try again shortly, not in a spin.
            if (error) {
                auto retry = std::make_shared<asio::steady_timer>(*io_, milliseconds(50));
                return retry->async_wait([this, retry](boost::system::error_code) { accept(); });
            }
            accept();
        });
    }

    // Counts the connection against its address and the total, or refuses it.
    void admit(tcp::socket socket) {
        boost::system::error_code error;
        const auto remote = socket.remote_endpoint(error);
        if (error) return;
        const std::string address = remote.address().to_string();
        std::size_t& fromThere = perAddress_[address];
        if (fromThere >= limits_.perAddress || open_ >= limits_.total) {
            if (fromThere == 0) perAddress_.erase(address);
            static const char busy[] =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                "Content-Length: 37\r\nConnection: close\r\n\r\n"
                "{\"error\":\"too many open connections\"}";
            socket.non_blocking(true, error);
            socket.write_some(asio::buffer(busy, sizeof busy - 1), error);
            socket.close(error);
            return;
        }
        ++fromThere;
        ++open_;
        ConnectionSlot slot(nullptr, [this, address](void*) {
            --open_;
            auto counted = perAddress_.find(address);
            if (counted != perAddress_.end() && --counted->second == 0) perAddress_.erase(counted);
        });
        socket.set_option(tcp::no_delay(true), error);  // answers are small: send them at once
        std::make_shared<HttpSession>(std::move(socket), std::move(slot), *this, limits_)->start();
    }

    void scheduleTick() {
        nextTick_ += tick;
        const auto now = std::chrono::steady_clock::now();
        if (nextTick_ < now) nextTick_ = now;  // after a long step, do not try to catch up tick by tick
        ticker_->expires_at(nextTick_);
        ticker_->async_wait([this](boost::system::error_code error) {
            if (error) return;
            step();
            if (ticker_) scheduleTick();
        });
    }

    // The live loop's step, every tick: the clock, the heartbeat, reports.
    void step() {
        if (options_.stop != nullptr && options_.stop->load()) return stop();
        advanceClock();
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextHeartbeat_) {
            // A page that hears nothing for longer knows it lost the link.
            nextHeartbeat_ = now + options_.heartbeatEvery;
            publish(jsonText(json{{"type", "heartbeat"}, {"time_ms", backend_->now()}}));
        }
        if (const std::size_t dropped = fanout_.takeDropped()) {
            *log_ << "vesk-host: live page: dropped " << dropped
                  << " event stream(s) that fell behind; a page reconnects by itself" << std::endl;
        }
    }

    // The facility's clock follows the wall clock from where it stood when serving began.
    void advanceClock() {
        const auto elapsed =
            std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started_).count();
        if (base_ + elapsed > backend_->now()) backend_->advanceTo(base_ + elapsed);
    }

    void stop() {
        fanout_.close();
        io_->stop();
    }

    void publishViewers() {
        publish(jsonText(json{{"type", "viewers"}, {"viewers", viewers_.json()}}));
    }

    // Declared first: the counts and the fanout outlive every connection.
    bool closing_ = false;  // streams that end now tell nobody
    ViewerList viewers_;
    std::map<std::string, std::size_t> perAddress_;
    std::size_t open_ = 0;
    ConnectionLimits limits_;
    std::size_t maxStreams_ = 16;
    EventFanout fanout_{EventFanout::Limits{maxStreams_}};
    ServeOptions options_;
    AccessRules rules_;
    bool generatedToken_ = false;
    std::map<std::string, std::string> htmlPages_;  // with the token filled in
    LiveBackend* backend_ = nullptr;
    std::ostream* log_ = nullptr;
    std::chrono::steady_clock::time_point started_, nextTick_, nextHeartbeat_;
    std::int64_t base_ = 0;
    std::uint64_t lastEventId_ = 0;  // the number of the last message published

    std::unique_ptr<asio::io_context> io_ = std::make_unique<asio::io_context>(1);
    std::unique_ptr<tcp::acceptor> acceptor_;
    std::unique_ptr<StopRequests> stopRequests_;
    std::unique_ptr<asio::steady_timer> ticker_;
    std::unique_ptr<asio::steady_timer> flushTimer_;
    FlushPacing flushPacing_;
};

LiveServer::LiveServer() : impl_(std::make_unique<Impl>()) {}
LiveServer::~LiveServer() = default;

bool LiveServer::open(const ServeOptions& options, std::string& error) {
    return impl_->open(options, error);
}

void LiveServer::run(LiveBackend& backend, std::ostream& log) { impl_->run(backend, log); }

int LiveServer::port() const { return impl_->port(); }

}  // namespace web
}  // namespace vhost
