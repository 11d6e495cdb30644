// web_server.cpp - see web_server.h.
//
// Threads: cpp-httplib accepts and answers connections on a pool of its
// own; the thread that called runLiveServer runs the facility. An HTTP
// thread never touches the backend: it queues a job (FacilityQueue) and
// waits for it. Events leave the facility thread through EventFanout, whose
// bounded per-client queues each stream's HTTP thread drains.
#include "front/web/web_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "front/web/access_rules.h"
#include "front/web/api_requests.h"
#include "front/web/event_fanout.h"
#include "front/web/facility_queue.h"
#include "front/web/page_files.h"

namespace vhost {
namespace web {

namespace {

using nlohmann::json;
using std::chrono::milliseconds;

const std::size_t maxBody = 16 * 1024;
const std::size_t httpThreads = 32;       // event streams hold one each
const std::size_t maxStreams = 16;
const milliseconds tick(10);              // the clock follows the wall clock this closely
const milliseconds answerWithin(5000);    // a request waits this long for the facility
const milliseconds keepAliveEvery(15000); // a comment on a quiet stream finds dead clients

// Texts are 8-bit; bytes that are not UTF-8 print as U+FFFD.
std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void sendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(dump(body), "application/json; charset=utf-8");
}

void sendError(httplib::Response& res, int status, const std::string& message) {
    sendJson(res, status, json{{"error", message}});
}

// SIGINT and SIGTERM end the serve loop; the handlers are restored after.
volatile std::sig_atomic_t signalled = 0;
extern "C" void onStopSignal(int) { signalled = 1; }

class SignalScope {
public:
    SignalScope() {
        signalled = 0;
#ifdef _WIN32
        oldInt_ = std::signal(SIGINT, onStopSignal);
        oldTerm_ = std::signal(SIGTERM, onStopSignal);
#else
        struct sigaction action = {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
        // A browser that goes away mid-write must not end the host.
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &oldPipe_);
#endif
    }
    ~SignalScope() {
#ifdef _WIN32
        std::signal(SIGINT, oldInt_);
        std::signal(SIGTERM, oldTerm_);
#else
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        sigaction(SIGPIPE, &oldPipe_, nullptr);
#endif
    }
    SignalScope(const SignalScope&) = delete;
    SignalScope& operator=(const SignalScope&) = delete;

private:
#ifdef _WIN32
    void (*oldInt_)(int);
    void (*oldTerm_)(int);
#else
    struct sigaction oldInt_, oldTerm_, oldPipe_;
#endif
};

class LiveServer {
public:
    LiveServer(LiveBackend& backend, AccessRules rules)
        : backend_(backend), rules_(std::move(rules)) {
        indexPage_ = pageText("/");
        if (!rules_.token.empty()) {
            // The page's own files are fetched with the token too.
            replaceAll(indexPage_, "src=\"app.js\"", "src=\"app.js?token=" + rules_.token + "\"");
            replaceAll(indexPage_, "href=\"style.css\"",
                       "href=\"style.css?token=" + rules_.token + "\"");
        }
    }

    httplib::Server& http() { return server_; }
    FacilityQueue& queue() { return queue_; }
    EventFanout& fanout() { return fanout_; }
    void setPort(int port) { rules_.port = port; }

    void configure() {
        server_.new_task_queue = [] { return new httplib::ThreadPool(httpThreads); };
        server_.set_payload_max_length(maxBody);
        server_.set_keep_alive_max_count(1000);
        server_.set_keep_alive_timeout(5);
        // Answers are small and written in pieces: send them at once.
        server_.set_tcp_nodelay(true);
        // A stream whose client stopped reading blocks its writer this long.
        server_.set_write_timeout(10);
        server_.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) { return admit(req, res); });
        server_.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) return;
            if (res.status == 413) {
                sendError(res, 413, "the body is over " + std::to_string(maxBody) + " bytes");
            } else if (res.status == 404) {
                sendError(res, 404, "no such endpoint: " + req.method + " " + req.path);
            } else {
                sendError(res, res.status,
                          "the request could not be read (malformed, or a body over " +
                              std::to_string(maxBody) + " bytes)");
            }
        });
        server_.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
                std::string what = "unknown error";
                try {
                    if (error) std::rethrow_exception(error);
                } catch (const std::exception& e) {
                    what = e.what();
                } catch (...) {
                }
                sendError(res, 500, "internal error: " + what);
            });

        server_.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
            json state;
            if (!onFacility([&] { state = backend_.snapshot(); })) return busy(res);
            sendJson(res, 200, state);
        });
        server_.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
            openStream(req, res);
        });
        // Bodies are read here, not by the library, so that the limit holds
        // for chunked bodies too.
        server_.Post(R"(/api/[a-z]+)", [this](const httplib::Request& req, httplib::Response& res,
                                              const httplib::ContentReader& read) {
            std::string body;
            bool tooLong = false;
            const bool complete = read([&](const char* data, std::size_t size) {
                tooLong = body.size() + size > maxBody;
                if (!tooLong) body.append(data, size);
                return !tooLong;
            });
            if (!complete) {
                // The library stops at once at a Content-Length over the limit.
                tooLong = tooLong || req.get_header_value<std::uint64_t>("Content-Length") > maxBody;
                res.set_header("Connection", "close");  // the rest of the body is not read
                if (tooLong) {
                    return sendError(res, 413, "the body is over " + std::to_string(maxBody) + " bytes");
                }
                return sendError(res, 400, "the body could not be read");
            }
            post(req.path, body, res);
        });
        server_.Get(R"(/[A-Za-z0-9_.\-]*)", [this](const httplib::Request& req, httplib::Response& res) {
            const PageFile* file = findPageFile(req.path);
            if (file == nullptr) return sendError(res, 404, "no such page: " + req.path);
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_header("Referrer-Policy", "same-origin");
            if (req.path == "/") {
                res.set_header("Content-Security-Policy",
                               "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
                res.set_content(indexPage_, file->contentType);
            } else {
                res.set_content(reinterpret_cast<const char*>(file->data), file->size,
                                file->contentType);
            }
        });
    }

    // The facility's clock follows the wall clock from where it stands now.
    void startClock() {
        started_ = std::chrono::steady_clock::now();
        base_ = backend_.now();
    }
    void advanceClock() {
        const auto elapsed = std::chrono::duration_cast<milliseconds>(
                                 std::chrono::steady_clock::now() - started_)
                                 .count();
        if (base_ + elapsed > backend_.now()) backend_.advanceTo(base_ + elapsed);
    }

private:
    static void replaceAll(std::string& text, const std::string& from, const std::string& to) {
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
    }

    static std::string pageText(const std::string& path) {
        const PageFile* file = findPageFile(path);
        return file ? std::string(reinterpret_cast<const char*>(file->data), file->size) : "";
    }

    httplib::Server::HandlerResponse admit(const httplib::Request& req, httplib::Response& res) {
        RequestFacts facts;
        facts.method = req.method;
        facts.host = req.get_header_value("Host");
        const std::string origin = req.get_header_value("Origin");
        if (req.has_header("Origin")) facts.origin = &origin;
        facts.authorization = req.get_header_value("Authorization");
        facts.queryToken = req.get_param_value("token");
        const Refusal refusal = checkAccess(rules_, facts);
        if (refusal.status == 0) return httplib::Server::HandlerResponse::Unhandled;
        if (refusal.status == 401) res.set_header("WWW-Authenticate", "Bearer");
        res.set_header("Connection", "close");  // a refused request's body is not read
        sendError(res, refusal.status, refusal.message);
        return httplib::Server::HandlerResponse::Handled;
    }

    // Runs `job` on the facility thread; false when it could not be run in time.
    template <typename Job>
    bool onFacility(Job job) {
        return queue_.call(
            [&] {
                advanceClock();
                job();
            },
            answerWithin);
    }

    static void busy(httplib::Response& res) {
        sendError(res, 503, "the facility did not take the request in time, or is stopping");
    }

    void post(const std::string& path, const std::string& body, httplib::Response& res) {
        BackendCall call;
        Outcome outcome;
        if (!readApiPost(path, body, call, outcome)) {
            return sendJson(res, outcome.status, outcome.body);
        }
        const bool ran = onFacility([&] {
            try {
                outcome = call(backend_);
            } catch (const std::exception& e) {
                outcome = errorOutcome(500, std::string("the facility failed: ") + e.what());
            }
        });
        if (!ran) return busy(res);
        sendJson(res, outcome.status, outcome.body);
    }

    void openStream(const httplib::Request&, httplib::Response& res) {
        std::shared_ptr<EventFanout::Client> client;
        bool full = false;
        // Snapshot and subscription in one step on the facility thread, so
        // that the stream misses no event and repeats none.
        const bool ran = onFacility([&] {
            json hello = {{"type", "hello"}, {"state", backend_.snapshot()}};
            client = fanout_.add("retry: 1000\ndata: " + dump(hello) + "\n\n");
            full = client == nullptr;
        });
        if (!ran) return busy(res);
        if (full) return sendError(res, 503, "too many open event streams");
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");
        EventFanout* fanout = &fanout_;
        res.set_chunked_content_provider(
            "text/event-stream",
            [fanout, client](std::size_t, httplib::DataSink& sink) {
                std::vector<std::string> frames;
                if (!fanout->take(*client, frames, keepAliveEvery)) return false;
                std::string batch;
                for (const auto& frame : frames) batch += frame;
                if (batch.empty()) batch = ": still here\n\n";
                return sink.write(batch.data(), batch.size());
            },
            [fanout, client](bool) { fanout->remove(client); });
    }

    LiveBackend& backend_;
    AccessRules rules_;
    std::string indexPage_;
    httplib::Server server_;
    FacilityQueue queue_;
    EventFanout fanout_{EventFanout::Limits{maxStreams}};
    std::chrono::steady_clock::time_point started_;
    std::int64_t base_ = 0;
};

std::string urlHost(const std::string& address) {
    if (address.find(':') != std::string::npos) return "[" + address + "]";
    if (isWildcardAddress(address)) return "127.0.0.1";
    return address;
}

}  // namespace

int runLiveServer(LiveBackend& backend, const ServeOptions& options, std::ostream& log) {
    AccessRules rules;
    rules.address = options.address;
    rules.token = options.token;
    std::string error;
    if (!rules.token.empty() && !validToken(rules.token, error)) {
        log << "vesk-host: --token: " << error << std::endl;
        return exitServeFailed;
    }
    const bool generated = rules.token.empty() && !isLoopbackAddress(options.address);
    if (generated) rules.token = generateToken();

    LiveServer server(backend, rules);
    server.configure();
    int port = options.port;
    if (port == 0) {
        port = server.http().bind_to_any_port(options.address);
    } else if (!server.http().bind_to_port(options.address, port)) {
        port = -1;
    }
    if (port <= 0) {
        log << "vesk-host: cannot listen on " << urlHost(options.address) << ":" << options.port
            << std::endl;
        return exitServeFailed;
    }
    server.setPort(port);

    backend.setEventSink([&server](const json& event) {
        server.fanout().publish("data: " + dump(event) + "\n\n");
    });
    SignalScope signals;
    std::atomic<bool> listenerEnded{false};
    std::thread listener([&server, &listenerEnded] {
        server.http().listen_after_bind();
        listenerEnded = true;
    });
    // stop() does nothing to a server that is not running yet.
    while (!server.http().is_running() && !listenerEnded) {
        std::this_thread::sleep_for(milliseconds(1));
    }

    std::string url = "http://" + urlHost(options.address) + ":" + std::to_string(port) + "/";
    if (!rules.token.empty()) url += "?token=" + rules.token;
    log << "vesk-host: live page at " << url << std::endl;
    if (generated) {
        log << "vesk-host: " << options.address
            << " is not a loopback address, so every request needs the token " << rules.token
            << std::endl;
    }

    server.startClock();
    auto next = std::chrono::steady_clock::now();
    while (signalled == 0 && !(options.stop != nullptr && options.stop->load())) {
        next += tick;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;  // after a long step, do not try to catch up tick by tick
        server.queue().runUntil(next);
        server.advanceClock();
        if (const std::size_t dropped = server.fanout().takeDropped()) {
            log << "vesk-host: live page: dropped " << dropped
                << " event stream(s) that fell behind; a page reconnects by itself" << std::endl;
        }
    }

    server.queue().close();
    server.fanout().close();
    server.http().stop();
    listener.join();
    backend.setEventSink([](const json&) {});
    log << "vesk-host: live page stopped" << std::endl;
    return 0;
}

}  // namespace web
}  // namespace vhost
