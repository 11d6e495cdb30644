// Unit tests of the live page's server parts: the --serve argument, the
// access rules, request bodies and the event fanout without a socket; then
// every limit and deadline of a connection with a short client on
// 127.0.0.1, the limits shortened so that each case takes well under a
// second.
#include "front/web/web_server.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "front/web/access_rules.h"
#include "front/web/api_requests.h"
#include "front/web/event_fanout.h"
#include "front/web/event_stream.h"
#include "front/web/flush_pacing.h"
#include "front/web/http_session.h"
#include "front/web/request_deadline.h"
#include "front/web/serve_options.h"
#include "portable.h"

namespace {

using namespace vhost::web;

TEST(ServeAddress, ReadsAddressAndPortOrRefusesWithAReason) {
    struct Row {
        const char* text;
        const char* address;  // null: refused
        int port;
        const char* error;
    };
    const Row rows[] = {
        {"8080", "127.0.0.1", 8080, ""},
        {"0", "127.0.0.1", 0, ""},
        {"0.0.0.0:80", "0.0.0.0", 80, ""},
        {"localhost:65535", "localhost", 65535, ""},
        {"[::1]:9000", "::1", 9000, ""},
        {"65536", nullptr, 0, "not a port number"},
        {"80a", nullptr, 0, "not a port number"},
        {"127.0.0.1:", nullptr, 0, "not a port number"},
        {":8080", nullptr, 0, "not an IP address"},
        {"studio.example:8080", nullptr, 0, "not an IP address"},
        {"1.2.3:8080", nullptr, 0, "not an IP address"},
        {"::1:8080", nullptr, 0, "in brackets"},
        {"[::1]8080", nullptr, 0, "[IPV6]:PORT"},
        {"[1.2.3.4]:80", nullptr, 0, "not an IPv6 address"},
    };
    for (const auto& row : rows) {
        ServeOptions options;
        std::string error;
        const bool ok = parseServeAddress(row.text, options, error);
        ASSERT_EQ(ok, row.address != nullptr) << row.text << ": " << error;
        if (ok) {
            EXPECT_EQ(options.address, row.address) << row.text;
            EXPECT_EQ(options.port, row.port) << row.text;
        } else {
            EXPECT_NE(error.find(row.error), std::string::npos) << row.text << ": " << error;
        }
    }
}

TEST(ServeAddress, KnowsLoopbackAndWildcardAddresses) {
    for (const char* address : {"127.0.0.1", "127.8.9.10", "::1", "::ffff:127.0.0.1", "localhost"}) {
        EXPECT_TRUE(isLoopbackAddress(address)) << address;
    }
    for (const char* address : {"0.0.0.0", "::", "10.0.0.1", "128.0.0.1", "::2", "studio"}) {
        EXPECT_FALSE(isLoopbackAddress(address)) << address;
    }
    EXPECT_TRUE(isWildcardAddress("0.0.0.0"));
    EXPECT_TRUE(isWildcardAddress("::"));
    EXPECT_FALSE(isWildcardAddress("127.0.0.1"));
    std::string error;
    EXPECT_FALSE(validToken("a b", error));
    EXPECT_TRUE(validToken(generateToken(), error));
    EXPECT_NE(generateToken(), generateToken());
}

// Records what reached the facility.
struct RecordingBackend : LiveBackend {
    std::string calls;
    std::string snapshot(const std::map<std::string, std::string>&) override { return "{}"; }
    Outcome forceGpi(std::int32_t d, std::int32_t i, std::int32_t s) override {
        return note("gpi " + std::to_string(d) + " " + std::to_string(i) + " " + std::to_string(s));
    }
    Outcome forceInfo(std::int32_t d, std::int32_t s, const std::string& text) override {
        return note("info " + std::to_string(d) + " " + std::to_string(s) + " " + text);
    }
    Outcome parentRequest(const std::string& c, const std::string& key) override {
        return note("param " + c + " " + key);
    }
    Outcome controlEvent(const std::string& c, const std::string& control, const std::string& key) override {
        return note("event " + c + " " + control + " " + key);
    }
    void advanceTo(std::int64_t) override {}
    std::int64_t now() const override { return 0; }
    Outcome note(const std::string& call) {
        calls = call;
        return {};
    }
};

TEST(ApiRequests, BodiesReachTheFacilityOnlyWhenWellFormed) {
    struct Row {
        const char* path;
        const char* body;
        const char* call;  // what the facility is asked; "" when refused
        int status;
        const char* error;
    };
    const Row rows[] = {
        {"/api/gpi", R"({"device":3,"input":7,"state":1})", "gpi 3 7 1", 200, ""},
        {"/api/gpi", R"({"device":-2147483648,"input":2147483647,"state":0})",
         "gpi -2147483648 2147483647 0", 200, ""},
        {"/api/info", R"({"device":20,"slot":4,"text":"PROGRAM"})", "info 20 4 PROGRAM", 200, ""},
        {"/api/param", R"({"component":"cam1","key":"tally_val=1"})", "param cam1 tally_val=1", 200, ""},
        {"/api/event", R"({"component":"cam1","control":"AlarmTest","key":"click=1"})",
         "event cam1 AlarmTest click=1", 200, ""},
        {"/api/gpi", R"({"device":3,"input":7,"state":2})", "", 400, "\"state\" must be 0 or 1"},
        {"/api/gpi", R"({"device":3,"input":7,"state":-1})", "", 400, "\"state\" must be 0 or 1"},
        {"/api/gpi", R"({"device":3,"input":7,"state":true})", "", 400, "\"state\" must be an integer"},
        {"/api/gpi", R"({"device":3e0,"input":7,"state":1})", "", 400, "\"device\" must be an integer"},
        {"/api/gpi", R"({"device":2147483648,"input":7,"state":1})", "", 400, "\"device\" is out of range"},
        {"/api/info", R"({"device":1,"slot":-2147483649,"text":""})", "", 400, "\"slot\" is out of range"},
        {"/api/info", R"({"device":1,"slot":2,"text":5})", "", 400, "\"text\" must be a string"},
        {"/api/param", R"({"component":"cam1"})", "", 400, "missing field \"key\""},
        {"/api/param", R"({"component":"cam1","key":"a","extra":0})", "", 400, "unknown field \"extra\""},
        {"/api/param", R"("cam1")", "", 400, "must be a JSON object"},
        {"/api/param", R"({"component":"cam1",)", "", 400, "not valid JSON"},
        {"/api/other", R"({})", "", 404, "no such endpoint"},
        // A NUL would cut the text a plug-in gets, and a recording of it would not replay.
        {"/api/info", R"({"device":1,"slot":2,"text":"PRO\u0000GRAM"})", "", 400,
         "\"text\" holds a NUL character"},
        {"/api/info", R"({"device":1,"slot":2,"text":"\u0000"})", "", 400, "\"text\" holds a NUL"},
        {"/api/param", R"({"component":"cam1","key":"tally_val=1\u0000x"})", "", 400,
         "\"key\" holds a NUL"},
        {"/api/param", R"({"component":"cam\u00001","key":"tally_val=1"})", "", 400,
         "\"component\" holds a NUL"},
        {"/api/event", R"({"component":"cam1","control":"AlarmTest","key":"click=1\u0000"})", "", 400,
         "\"key\" holds a NUL"},
        {"/api/event", R"({"component":"cam1","control":"Alarm\u0000Test","key":"click=1"})", "", 400,
         "\"control\" holds a NUL"},
        {"/api/info", R"({"device":1,"slot":2,"text":"\u0001\u00ff"})", "info 1 2 \x01\xc3\xbf", 200, ""},
    };
    for (const auto& row : rows) {
        RecordingBackend backend;
        BackendCall call;
        Outcome refusal;
        if (readApiPost(row.path, row.body, call, refusal)) {
            EXPECT_EQ(call(backend).status, 200) << row.body;
        } else {
            EXPECT_EQ(refusal.status, row.status) << row.body;
            EXPECT_NE(refusal.body["error"].get<std::string>().find(row.error), std::string::npos)
                << row.body << ": " << refusal.body.dump();
        }
        EXPECT_EQ(backend.calls, row.call) << row.body;
    }
}

// Every rule on both sides: each row differs from an allowed request in one thing.
TEST(AccessRules, EachConditionDecidesOnItsOwn) {
    struct Row {
        const char* bound;
        const char* token;
        const char* method;
        const char* path;
        const char* host;
        const char* origin;  // null: none sent
        const char* authorization;
        const char* query;
        int status;
    };
    const Row rows[] = {
        {"127.0.0.1", "", "GET", "/", "127.0.0.1:8080", nullptr, "", "", 0},
        {"127.0.0.1", "", "GET", "/", "LOCALHOST:8080", nullptr, "", "", 0},
        {"127.0.0.1", "", "GET", "/", "[::1]:8080", nullptr, "", "", 0},
        {"127.0.0.1", "", "GET", "/", "127.0.0.1:8081", nullptr, "", "", 403},
        {"127.0.0.1", "", "GET", "/", "127.0.0.1", nullptr, "", "", 403},
        {"127.0.0.1", "", "GET", "/", "evil.example:8080", nullptr, "", "", 403},
        {"127.0.0.1", "", "GET", "/", "10.1.2.3:8080", nullptr, "", "", 403},
        {"127.0.0.2", "", "GET", "/", "127.0.0.2:8080", nullptr, "", "", 0},
        {"::1", "", "GET", "/", "[::1]:8080", nullptr, "", "", 0},
        {"0.0.0.0", "t", "GET", "/", "10.1.2.3:8080", nullptr, "Bearer t", "", 0},
        {"0.0.0.0", "t", "GET", "/", "evil.example:8080", nullptr, "Bearer t", "", 403},
        {"0.0.0.0", "t", "GET", "/", "10.1.2.3:8081", nullptr, "Bearer t", "", 403},
        {"127.0.0.1", "t", "GET", "/", "127.0.0.1:8080", nullptr, "bearer t", "", 0},
        {"127.0.0.1", "t", "GET", "/", "127.0.0.1:8080", nullptr, "BEARER t", "", 0},
        {"127.0.0.1", "t", "GET", "/", "127.0.0.1:8080", nullptr, "Bearer T", "", 401},
        {"127.0.0.1", "t", "GET", "/", "127.0.0.1:8080", nullptr, "Basic t", "", 401},
        {"127.0.0.1", "t", "GET", "/", "127.0.0.1:8080", nullptr, "", "t", 0},
        {"127.0.0.1", "t", "GET", "/", "127.0.0.1:8080", nullptr, "", "tt", 401},
        {"127.0.0.1", "t", "GET", "/", "127.0.0.1:8080", nullptr, "", "", 401},
        {"127.0.0.1", "", "POST", "/api/gpi", "127.0.0.1:8080", "http://127.0.0.1:8080", "", "", 0},
        {"127.0.0.1", "", "POST", "/api/gpi", "127.0.0.1:8080", "http://localhost:8080", "", "", 403},
        {"127.0.0.1", "", "POST", "/api/gpi", "127.0.0.1:8080", "null", "", "", 403},
        {"127.0.0.1", "", "POST", "/api/gpi", "127.0.0.1:8080", nullptr, "", "", 0},
        {"127.0.0.1", "", "GET", "/api/state", "127.0.0.1:8080", "http://evil.example", "", "", 0},
        {"127.0.0.1", "", "GET", "/api/events", "127.0.0.1:8080", "http://evil.example", "", "", 403},
        {"127.0.0.1", "", "GET", "/api/events", "127.0.0.1:8080", "http://127.0.0.1:8080", "", "", 0},
    };
    for (const auto& row : rows) {
        const AccessRules rules{row.bound, 8080, row.token};
        RequestFacts facts;
        facts.method = row.method;
        facts.path = row.path;
        facts.host = row.host;
        const std::string origin = row.origin != nullptr ? row.origin : "";
        if (row.origin != nullptr) facts.origin = &origin;
        facts.authorization = row.authorization;
        facts.queryToken = row.query;
        EXPECT_EQ(checkAccess(rules, facts).status, row.status)
            << row.bound << " " << row.method << " " << row.path << " Host " << row.host << " Origin "
            << origin << " auth '" << row.authorization << "' query '" << row.query << "'";
    }
}

// Read before the access rules: what a request's header says of its framing.
TEST(AccessRules, RepeatedHostAndUnservedCodingsAreRefused) {
    struct Row {
        std::size_t hosts;
        std::vector<std::string> transfer, content;
        int status;
        const char* error;
    };
    const Row rows[] = {
        {1, {}, {}, 0, ""},
        {0, {}, {}, 0, ""},  // no Host at all: the access rules refuse it (403)
        {2, {}, {}, 400, "2 Host fields"},
        {1, {"chunked"}, {}, 0, ""},
        {1, {" Chunked "}, {}, 0, ""},
        {1, {"gzip, chunked"}, {}, 501, "Transfer-Encoding \"gzip, chunked\""},
        {1, {"gzip", "chunked"}, {}, 501, "\"gzip, chunked\""},
        {1, {"chunked, chunked"}, {}, 501, "not served"},
        {1, {"identity"}, {}, 501, "not served"},
        {1, {"gzip"}, {}, 501, "not served"},
        {1, {""}, {}, 501, "not served"},
        {1, {}, {"identity"}, 0, ""},
        {1, {}, {"IDENTITY"}, 0, ""},
        {1, {}, {"gzip"}, 415, "Content-Encoding \"gzip\""},
        {1, {}, {"identity, br"}, 415, "\"br\""},
        {1, {}, {"identity", "deflate"}, 415, "\"deflate\""},
        {2, {"gzip"}, {"gzip"}, 400, "Host"},
        {1, {"gzip"}, {"gzip"}, 501, "Transfer-Encoding"},
    };
    for (const auto& row : rows) {
        RequestFraming framing;
        framing.hostFields = row.hosts;
        framing.transferEncodings = row.transfer;
        framing.contentEncodings = row.content;
        const Refusal refusal = checkFraming(framing);
        const std::string what = std::to_string(row.hosts) + " hosts, TE " +
                                 (row.transfer.empty() ? "-" : row.transfer[0]) + ", CE " +
                                 (row.content.empty() ? "-" : row.content[0]);
        EXPECT_EQ(refusal.status, row.status) << what << ": " << refusal.message;
        EXPECT_NE(refusal.message.find(row.error), std::string::npos) << what << ": " << refusal.message;
    }
}

TEST(RequestDeadline, AnActionIsRefusedOnlyPastItsDeadline) {
    struct Row {
        const char* field;
        std::int64_t now;
        int status;
        const char* error;
    };
    const Row rows[] = {
        {"", 5000, 0, ""},  // no deadline given: a program's request
        {"5000", 4999, 0, ""},
        {"5000", 5000, 0, ""},  // at the deadline still applied
        {"5000", 5001, 409, "1 ms after its deadline; it was not applied"},
        {"5000", 9000, 409, "4000 ms after"},
        {"999999999999999", 1765000000000, 0, ""},   // 15 digits
        {"1000000000000000", 0, 400, "milliseconds since 1970"},  // 16: refused
        {"-1", 0, 400, "milliseconds since 1970"},
        {"12a", 0, 400, "milliseconds since 1970"},
        {" 12", 0, 400, "milliseconds since 1970"},
    };
    for (const auto& row : rows) {
        const Refusal refusal = checkDeadline(row.field, row.now);
        EXPECT_EQ(refusal.status, row.status) << row.field << " at " << row.now;
        EXPECT_NE(refusal.message.find(row.error), std::string::npos) << refusal.message;
    }
}

// The page's events wait for a quiet gap after the last handoff, and never
// longer than the longest wait after the first change, to the microsecond.
TEST(FlushPacing, WritesAfterAQuietGapOrAtTheLongestWait) {
    using std::chrono::microseconds;
    const microseconds gap = FlushPacing::quietGap;
    const microseconds longest = FlushPacing::longestWait;
    ASSERT_EQ(gap, microseconds(1000));
    ASSERT_EQ(longest, microseconds(20000));
    const struct {
        const char* what;
        std::vector<microseconds> work;  // handoffs ended, after the first change
        microseconds firedAt;
        std::optional<microseconds> wakeAgainAt;  // none: written now
    } rows[] = {
        {"quiet: at the gap", {}, gap, std::nullopt},
        {"quiet: just before the gap", {}, gap - microseconds(1), gap},
        {"a handoff: the gap counts from it", {microseconds(600)}, gap, microseconds(1600)},
        {"a handoff: one gap after it", {microseconds(600)}, microseconds(1600), std::nullopt},
        {"a burst: still busy",
         {microseconds(900), microseconds(1800), microseconds(2700)},
         microseconds(3000),
         microseconds(3700)},
        {"busy to the end: at the longest wait",
         {longest - microseconds(10)},
         longest,
         std::nullopt},
        {"busy: just before the longest wait",
         {longest - microseconds(10)},
         longest - microseconds(1),
         longest},
    };
    const FlushPacing::Clock::time_point start{std::chrono::seconds(100)};
    for (const auto& row : rows) {
        FlushPacing pacing;
        FlushPacing::Clock::time_point wakeAt;
        ASSERT_TRUE(pacing.ask(start, wakeAt)) << row.what;
        EXPECT_EQ(wakeAt, start + gap) << row.what;
        FlushPacing::Clock::time_point ignored;
        EXPECT_FALSE(pacing.ask(start + microseconds(1), ignored))
            << row.what << ": one wait at a time";
        for (const microseconds at : row.work) pacing.worked(start + at);
        const auto again = pacing.fire(start + row.firedAt);
        EXPECT_EQ(again.has_value(), row.wakeAgainAt.has_value()) << row.what;
        if (again && row.wakeAgainAt) {
            EXPECT_EQ(*again, start + *row.wakeAgainAt) << row.what;
        }
        EXPECT_EQ(pacing.waiting(), again.has_value()) << row.what;
    }
}

// Both sides of each bound: exactly at it is kept, one past it drops.
TEST(EventFanout, DropsAClientExactlyPastItsBoundAndNeverForItsSnapshot) {
    struct Row {
        std::size_t maxMessages, maxBytes;
        int published;  // 4-byte messages, none taken
        bool dropped;
    };
    const Row rows[] = {{3, 100, 3, false}, {3, 100, 4, true}, {100, 12, 3, false}, {100, 12, 4, true}};
    for (const auto& row : rows) {
        EventFanout fanout({2, row.maxMessages, row.maxBytes});
        int woken = 0;
        auto client = fanout.add(std::string(1000, 'h'), [&] { ++woken; });
        for (int i = 0; i < row.published; ++i) fanout.publish("m" + std::to_string(i) + "\n\n");
        std::string got;
        EXPECT_EQ(fanout.take(*client, got), !row.dropped) << row.maxMessages << "/" << row.maxBytes;
        EXPECT_EQ(client->dropped(), row.dropped);
        EXPECT_EQ(fanout.takeDropped(), row.dropped ? 1u : 0u);
        EXPECT_EQ(woken, row.published);
        EXPECT_EQ(got.size(), row.dropped ? 0u : 1000u + 4u * row.published);
    }
}

TEST(EventFanout, TakingEmptiesTheQueueAndItsCount) {
    EventFanout fanout({2, 3, 10});
    auto reader = fanout.add("hello");
    auto stalled = fanout.add("hello");
    EXPECT_EQ(fanout.add("hello"), nullptr) << "over the client limit";
    std::string got;
    for (int i = 0; i < 5; ++i) {
        fanout.publish("m" + std::to_string(i) + "....");  // 6 bytes: two would pass the bound
        got.clear();
        ASSERT_TRUE(fanout.take(*reader, got)) << i;
    }
    EXPECT_EQ(got, "m4....");
    EXPECT_FALSE(fanout.take(*stalled, got));
    EXPECT_EQ(fanout.takeDropped(), 1u);
    EXPECT_EQ(fanout.takeDropped(), 0u) << "a drop is reported once";

    fanout.letGo(stalled);
    EXPECT_EQ(fanout.takeDropped(), 0u) << "a client dropped already is not counted again";
    EXPECT_NE(fanout.add("hello"), nullptr) << "a client let go frees its place";
    fanout.remove(reader);
    EXPECT_EQ(fanout.takeDropped(), 0u) << "a client that went away did not fall behind";
    auto idle = fanout.add("hello");
    fanout.letGo(idle);
    EXPECT_EQ(fanout.takeDropped(), 1u) << "a stream that gave up on its reader, with nothing queued";
    fanout.letGo(idle);
    EXPECT_EQ(fanout.takeDropped(), 0u) << "let go once";
    fanout.close();
    EXPECT_FALSE(fanout.take(*reader, got));
}


// The bounds every stream of a real server has: 16 clients, 8192 messages
// or 4 MiB queued each.
TEST(EventFanout, DefaultBoundsAreSixteenClientsAnd8192MessagesOr4MiB) {
    EventFanout fanout;
    std::vector<std::shared_ptr<EventFanout::Client>> clients;
    for (int i = 0; i < 16; ++i) clients.push_back(fanout.add("hello"));
    for (const auto& client : clients) ASSERT_NE(client, nullptr);
    EXPECT_EQ(fanout.add("hello"), nullptr) << "a 17th client";
    for (std::size_t i = 2; i < clients.size(); ++i) fanout.remove(clients[i]);
    auto& counted = *clients[0];
    auto& sized = *clients[1];
    std::string got;

    for (int i = 0; i < 8192; ++i) fanout.publish("m");
    EXPECT_TRUE(fanout.take(counted, got)) << "8192 messages are kept";
    EXPECT_TRUE(fanout.take(sized, got));
    for (int i = 0; i < 8193; ++i) fanout.publish("m");
    EXPECT_FALSE(fanout.take(counted, got)) << "the 8193rd drops the client";
    fanout.remove(clients[0]);
    fanout.takeDropped();

    EventFanout bytes;
    auto client = bytes.add("hello");
    const std::string mebibyte(1 << 20, 'b');
    for (int i = 0; i < 4; ++i) bytes.publish(mebibyte);
    got.clear();
    EXPECT_TRUE(bytes.take(*client, got)) << "4 MiB are kept";
    EXPECT_EQ(got.size(), 5u + (4u << 20));
    for (int i = 0; i < 4; ++i) bytes.publish(mebibyte);
    bytes.publish("x");
    EXPECT_FALSE(bytes.take(*client, got)) << "one byte past 4 MiB drops the client";
    EXPECT_EQ(bytes.takeDropped(), 1u);
}

// ---- on a socket ----------------------------------------------------------

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// A client on 127.0.0.1 driven by the test's own io_context: it writes at
// once and reads in the background whatever comes, until the server closes.
class TestClient {
public:
    TestClient(asio::io_context& io, int port, const char* from = "127.0.0.1") : socket_(io) {
        socket_.open(tcp::v4());
        socket_.bind({asio::ip::make_address(from), 0});
        socket_.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    }
    // Quietly nothing once the server has closed.
    void send(const std::string& text) {
        boost::system::error_code ignored;
        asio::write(socket_, asio::buffer(text), ignored);
    }
    void read() {
        socket_.async_read_some(asio::buffer(chunk_), [this](boost::system::error_code error, std::size_t n) {
            received.append(chunk_.data(), n);
            if (error) {
                closed = true;
                return;
            }
            read();
        });
    }
    void close() {
        boost::system::error_code ignored;
        socket_.close(ignored);
    }
    // The status of the first answer; 0 before one arrived.
    int status() const {
        return received.size() >= 12 && received.compare(0, 9, "HTTP/1.1 ") == 0
                   ? std::stoi(received.substr(9, 3))
                   : 0;
    }

    std::string received;
    bool closed = false;

private:
    tcp::socket socket_;
    std::array<char, 64 * 1024> chunk_{};
};

// Runs `io` until `done` holds or `within` passes; true when it held.
template <typename Done>
bool runUntil(asio::io_context& io, Done done, milliseconds within) {
    const auto end = Clock::now() + within;
    while (!done()) {
        if (Clock::now() >= end) return false;
        if (io.stopped()) io.restart();
        io.run_one_for(milliseconds(5));
    }
    return true;
}

// Answers every request with `answerBytes` bytes, a body's size after it
// was read in full; counts the connections it let go.
struct EchoRouter : Router {
    std::size_t answerBytes = 2;
    Next route(const Request& header, Reply& reply) override {
        if (header.method() == boost::beast::http::verb::post) return Next::ReadBody;
        reply.body.assign(answerBytes, 'a');
        return Next::Answer;
    }
    Reply answer(const Request& request) override {
        Reply reply;
        reply.body = "body " + std::to_string(request.body().size());
        return reply;
    }
    void openStream(Socket, ConnectionSlot, const Request&) override {}
};

// One HttpSession on a loopback port with the given limits.
struct SessionBench {
    explicit SessionBench(const ConnectionLimits& limits) : limits(limits) {
        acceptor.async_accept([this](boost::system::error_code error, tcp::socket socket) {
            if (error) return;
            ConnectionSlot slot(nullptr, [this](void*) { ++released; });
            std::make_shared<HttpSession>(std::move(socket), std::move(slot), router, this->limits)->start();
        });
    }
    int port() const { return acceptor.local_endpoint().port(); }

    // Before the io_context: its handlers own the session, which refers to these.
    ConnectionLimits limits;
    EchoRouter router;
    int released = 0;
    asio::io_context io;
    tcp::acceptor acceptor{io, {asio::ip::make_address("127.0.0.1"), 0}};
};

ConnectionLimits shortLimits() {
    ConnectionLimits limits;
    limits.headerBytes = 512;
    limits.headerFields = 6;
    limits.bodyBytes = 100;
    limits.headerWithin = milliseconds(5000);
    limits.bodyWithin = milliseconds(5000);
    limits.writeWithin = milliseconds(5000);
    return limits;
}

// A request whose header, up to and with its empty line, is `bytes` long,
// with `fields` fields (Host among them).
std::string requestOf(std::size_t bytes, std::size_t fields) {
    std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (std::size_t i = 2; i < fields; ++i) head += "X-" + std::to_string(i) + ": v\r\n";
    const std::string last = "X-Pad: ";
    const std::size_t room = bytes - head.size() - last.size() - 4;
    return head + last + std::string(room, 'p') + "\r\n\r\n";
}

std::string postOf(const std::string& body, bool chunked) {
    if (!chunked) {
        return "POST /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    std::ostringstream size;
    size << std::hex << body.size();
    return "POST /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
           size.str() + "\r\n" + body + "\r\n0\r\n\r\n";
}

// Each size limit on both sides: exactly at it is read, one past it refused.
TEST(HttpSession, SizeLimitsHoldExactlyAtTheirBound) {
    const ConnectionLimits limits = shortLimits();
    const std::string body(100, 'b');
    const struct Row {
        const char* what;
        std::string request;
        int status;
    } rows[] = {
        {"header of 512 bytes", requestOf(512, 3), 200},
        {"header of 513 bytes", requestOf(513, 3), 431},
        {"6 header fields", requestOf(200, 6), 200},
        {"7 header fields", requestOf(200, 7), 431},
        {"body of 100 bytes", postOf(body, false), 200},
        {"body of 101 bytes", postOf(body + "b", false), 413},
        {"chunked body of 100 bytes", postOf(body, true), 200},
        {"chunked body of 101 bytes", postOf(body + "b", true), 413},
    };
    for (const auto& row : rows) {
        SessionBench bench(limits);
        TestClient client(bench.io, bench.port());
        client.send(row.request);
        client.read();
        ASSERT_TRUE(runUntil(bench.io, [&] { return client.status() != 0 &&
                                                  client.received.find("\r\n\r\n") != std::string::npos; },
                             milliseconds(2000)))
            << row.what << ": no answer";
        EXPECT_EQ(client.status(), row.status) << row.what << ": " << client.received;
        if (row.status == 200 && row.request.compare(0, 4, "POST") == 0) {
            EXPECT_NE(client.received.find("body 100"), std::string::npos) << row.what;
        }
    }
}

// Each deadline closes the connection when it passes, not before, and only
// the deadline of what the connection is waiting for applies: the others
// are set far off.
TEST(HttpSession, EachDeadlineClosesTheConnectionInTime) {
    const milliseconds deadline(150);
    enum class Doing { Silent, TrickleHeader, IdleAfterAnswer, StallBody, NotReading };
    const struct Row {
        const char* what;
        Doing doing;
        milliseconds ConnectionLimits::*armed;
    } rows[] = {
        {"no request at all", Doing::Silent, &ConnectionLimits::headerWithin},
        {"a header a byte at a time", Doing::TrickleHeader, &ConnectionLimits::headerWithin},
        {"idle after an answer on a kept-alive connection", Doing::IdleAfterAnswer,
         &ConnectionLimits::headerWithin},
        {"half a body", Doing::StallBody, &ConnectionLimits::bodyWithin},
        {"an answer not taken", Doing::NotReading, &ConnectionLimits::writeWithin},
    };
    for (const auto& row : rows) {
        // Wine completes a send cut off by closing its socket only once the
        // client reads or goes, so the place is not free at the deadline
        // there; Windows ends pending operations when the socket is closed.
        if (row.doing == Doing::NotReading && RunningUnderWine()) continue;
        ConnectionLimits limits = shortLimits();
        limits.*row.armed = deadline;
        SessionBench bench(limits);
        // More than the socket buffers on both sides hold.
        if (row.doing == Doing::NotReading) bench.router.answerBytes = 32u << 20;
        TestClient client(bench.io, bench.port());
        auto start = Clock::now();
        switch (row.doing) {
            case Doing::Silent:
            case Doing::NotReading:
                break;
            case Doing::TrickleHeader:
                client.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
                for (int i = 0; i < 40 && bench.released == 0; ++i) {
                    runUntil(bench.io, [] { return false; }, milliseconds(10));
                    if (bench.released == 0) client.send("a");
                }
                // The deadline is for the whole header, not for each byte.
                EXPECT_EQ(bench.released, 1) << row.what << ": still open after 400 ms of trickling";
                break;
            case Doing::IdleAfterAnswer:
                // Timed from the request: the idle deadline starts later,
                // once the answer is written, so this never undercounts.
                start = Clock::now();
                client.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
                client.read();
                ASSERT_TRUE(runUntil(bench.io, [&] { return client.status() == 200; }, milliseconds(2000)));
                break;
            case Doing::StallBody:
                client.send("POST /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50\r\n\r\n0123456789");
                break;
        }
        if (row.doing == Doing::NotReading) {
            client.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            EXPECT_TRUE(runUntil(bench.io, [&] { return bench.released == 1; }, milliseconds(2000))) << row.what;
            client.read();
            ASSERT_TRUE(runUntil(bench.io, [&] { return client.closed; }, milliseconds(2000))) << row.what;
            EXPECT_LT(client.received.size(), bench.router.answerBytes) << row.what << ": the whole answer went";
        } else {
            if (row.doing != Doing::IdleAfterAnswer) client.read();
            EXPECT_TRUE(runUntil(bench.io, [&] { return client.closed; }, milliseconds(1500)))
                << row.what << ": still open after 1.5 s";
            if (row.doing != Doing::IdleAfterAnswer) {
                EXPECT_EQ(client.received, "") << row.what << ": no answer is due";
            }
        }
        const auto took = since(start);
        EXPECT_GE(took.count(), deadline.count() - 5) << row.what << ": closed before its deadline";
        EXPECT_LT(took.count(), deadline.count() + 1000) << row.what;
        EXPECT_TRUE(runUntil(bench.io, [&] { return bench.released == 1; }, milliseconds(500)))
            << row.what << ": the connection's place is not freed";
    }
}

// A stream whose client stops reading ends within the write deadline and
// frees its place, whatever its queue bounds.
TEST(EventStream, AClientThatDoesNotReadIsLetGoAtTheWriteDeadline) {
    EventFanout fanout;
    int released = 0;
    asio::io_context io;
    tcp::acceptor acceptor{io, {asio::ip::make_address("127.0.0.1"), 0}};
    const std::string hello = "data: " + std::string(32u << 20, 'h') + "\n\n";
    const milliseconds deadline(150);
    Clock::time_point start;  // the write, and so its deadline, begins in start()
    acceptor.async_accept([&](boost::system::error_code error, tcp::socket socket) {
        ASSERT_FALSE(error);
        ConnectionSlot slot(nullptr, [&](void*) { ++released; });
        auto stream = std::make_shared<EventStream>(std::move(socket), std::move(slot), fanout, deadline);
        start = Clock::now();
        ASSERT_TRUE(stream->start(hello));
    });
    TestClient client(io, acceptor.local_endpoint().port());
    ASSERT_TRUE(runUntil(io, [&] { return fanout.clients() == 1; }, milliseconds(1000)));
    EXPECT_TRUE(runUntil(io, [&] { return fanout.clients() == 0; }, milliseconds(1500)))
        << "the stream waits on its client";
    EXPECT_GE(since(start).count(), deadline.count() - 5);
    EXPECT_EQ(fanout.takeDropped(), 1u) << "a reader let go is reported";
    client.read();
    ASSERT_TRUE(runUntil(io, [&] { return client.closed; }, milliseconds(2000)));
    EXPECT_LT(client.received.size(), hello.size());
    EXPECT_TRUE(runUntil(io, [&] { return released == 1; }, milliseconds(500)));
}

// A whole server on a thread of its own, with a backend that only keeps time.
struct ServerBench {
    explicit ServerBench(ServeOptions options, const ConnectionLimits* limits = nullptr) {
        options.stop = &stop;
        options.limits = limits;
        std::string error;
        if (!server.open(options, error)) throw std::runtime_error(error);
        thread = std::thread([this] { server.run(backend, log); });
    }
    ~ServerBench() {
        stop = true;
        thread.join();
    }
    std::string get(const std::string& path) const {
        return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n\r\n";
    }

    struct Clocked : RecordingBackend {
        std::atomic<std::int64_t> time{0};
        void advanceTo(std::int64_t ms) override { time = ms; }
        std::int64_t now() const override { return time; }
    } backend;
    std::ostringstream log;
    std::atomic<bool> stop{false};
    LiveServer server;
    std::thread thread;
};

// A client of the server: what it is answered, within a bound.
struct Visitor {
    Visitor(int port, const char* from = "127.0.0.1") : client(io, port, from) { client.read(); }
    // Sends `request` and waits for `expected` in what comes back.
    bool ask(const std::string& request, const std::string& expected) {
        client.send(request);
        return wait(expected);
    }
    bool wait(const std::string& expected, milliseconds within = milliseconds(2000)) {
        return runUntil(io, [&] { return client.received.find(expected) != std::string::npos; }, within);
    }
    asio::io_context io;
    TestClient client;
};

TEST(LiveServer, ConnectionsAreCountedPerAddressAndInAll) {
    ConnectionLimits limits;
    limits.perAddress = 2;
    limits.total = 4;
    ServerBench bench({}, &limits);
    const int port = bench.server.port();
    const std::string state = bench.get("/api/state");
    std::vector<std::unique_ptr<Visitor>> open;
    const auto admit = [&](const char* from) {
        open.push_back(std::make_unique<Visitor>(port, from));
        EXPECT_TRUE(open.back()->ask(state, "HTTP/1.1 200")) << from << ": " << open.back()->client.received;
    };
    const auto refuse = [&](const char* from) {
        Visitor refused(port, from);
        EXPECT_TRUE(refused.wait("HTTP/1.1 503")) << from << ": " << refused.client.received;
        EXPECT_TRUE(refused.wait("too many open connections")) << from;
    };
    admit("127.0.0.1");
    admit("127.0.0.1");
    refuse("127.0.0.1");  // a third from one address, with room in all
    admit("127.0.0.2");
    admit("127.0.0.3");
    refuse("127.0.0.4");  // a fifth in all, the first from its address
    // A place is freed as soon as its client goes.
    open[0]->client.close();
    bool admitted = false;
    for (int attempt = 0; attempt < 50 && !admitted; ++attempt) {
        Visitor again(port, "127.0.0.4");
        again.client.send(state);
        admitted = again.wait("HTTP/1.1 200", milliseconds(100));
    }
    EXPECT_TRUE(admitted) << "the closed connection's place is still taken";
}

TEST(LiveServer, SixteenEventStreamsAtMostWithAHeartbeatOnEach) {
    ServeOptions options;
    options.heartbeatEvery = milliseconds(100);
    ServerBench bench(options);
    const int port = bench.server.port();
    const std::string events = bench.get("/api/events");
    std::vector<std::unique_ptr<Visitor>> streams;
    for (int i = 0; i < 16; ++i) {
        streams.push_back(std::make_unique<Visitor>(port));
        ASSERT_TRUE(streams.back()->ask(events, "\"type\":\"hello\"")) << i << ": " << streams.back()->client.received;
    }
    {
        Visitor seventeenth(port);
        EXPECT_TRUE(seventeenth.ask(events, "HTTP/1.1 503")) << seventeenth.client.received;
        EXPECT_TRUE(seventeenth.wait("at most 16"));
    }
    // Heartbeats, never closer together than their interval.
    Visitor& first = *streams[0];
    first.wait("never", milliseconds(350));
    std::vector<long long> beats;
    const std::string& text = first.client.received;
    const std::string beat = "data: {\"time_ms\":";
    for (auto at = text.find(beat); at != std::string::npos; at = text.find(beat, at + 1)) {
        const auto end = text.find('}', at);
        if (text.compare(end - 19, 19, ",\"type\":\"heartbeat\"") != 0) continue;
        beats.push_back(std::stoll(text.substr(at + beat.size())));
    }
    EXPECT_GE(beats.size(), 2u) << text;
    for (std::size_t i = 1; i < beats.size(); ++i) {
        EXPECT_GE(beats[i] - beats[i - 1], 99) << i;
        EXPECT_LT(beats[i] - beats[i - 1], 600) << i;
    }

    // A stream's place is freed as soon as its client goes.
    streams[1]->client.close();
    bool admitted = false;
    for (int attempt = 0; attempt < 50 && !admitted; ++attempt) {
        Visitor again(port);
        again.client.send(events);
        admitted = again.wait("\"type\":\"hello\"", milliseconds(100));
    }
    EXPECT_TRUE(admitted);
}

// Every message of a stream is numbered, the same message with the same
// number on every stream, and a hello carries the number of the last
// message its snapshot holds: a reader of two streams can join them
// without a gap or a repeat.
TEST(LiveServer, MessagesAreNumberedAlikeOnEveryStreamFromTheirHello) {
    ServeOptions options;
    options.heartbeatEvery = milliseconds(50);
    ServerBench bench(options);
    const std::string events = bench.get("/api/events");
    Visitor first(bench.server.port());
    ASSERT_TRUE(first.ask(events, "\"type\":\"hello\""));
    first.wait("never", milliseconds(120));
    Visitor second(bench.server.port());
    ASSERT_TRUE(second.ask(events, "\"type\":\"hello\""));
    second.wait("never", milliseconds(200));
    first.wait("never", milliseconds(100));

    struct Message {
        long long id;
        std::string data;
    };
    const auto messagesOf = [](const std::string& text) {
        std::vector<Message> messages;
        for (std::size_t at = text.find("\r\n\r\n") + 4, end; (end = text.find("\n\n", at)) != text.npos; at = end + 2) {
            Message message{-1, ""};
            std::istringstream block(text.substr(at, end - at));
            for (std::string line; std::getline(block, line);) {
                if (line.compare(0, 4, "id: ") == 0) message.id = std::stoll(line.substr(4));
                if (line.compare(0, 6, "data: ") == 0) message.data = line.substr(6);
            }
            messages.push_back(message);
        }
        return messages;
    };
    const auto a = messagesOf(first.client.received);
    const auto b = messagesOf(second.client.received);
    ASSERT_GE(a.size(), 4u) << first.client.received;
    ASSERT_GE(b.size(), 3u) << second.client.received;
    std::map<long long, std::string> byId;
    for (const auto* stream : {&a, &b}) {
        EXPECT_NE(stream->front().data.find("\"type\":\"hello\""), std::string::npos);
        for (std::size_t i = 1; i < stream->size(); ++i) {
            EXPECT_EQ((*stream)[i].id, (*stream)[0].id + static_cast<long long>(i)) << "message " << i;
            const auto known = byId.emplace((*stream)[i].id, (*stream)[i].data).first;
            EXPECT_EQ(known->second, (*stream)[i].data) << "message " << (*stream)[i].id;
        }
    }
    // The second stream's snapshot holds the first stream's messages up to
    // the one that listed both viewers, and nothing after it.
    const long long joined = b.front().id;
    ASSERT_TRUE(byId.count(joined)) << "the second hello's number is not a message of the first stream";
    EXPECT_NE(byId[joined].find("\"type\":\"viewers\""), std::string::npos) << byId[joined];
    EXPECT_EQ(b[1].id, joined + 1);
}

}  // namespace
