// Unit tests of the live page's server parts that do not need a socket:
// the --serve argument, the access rules, request bodies and the event fanout.
#include <gtest/gtest.h>

#include "front/web/access_rules.h"
#include "front/web/api_requests.h"
#include "front/web/event_fanout.h"
#include "front/web/serve_options.h"

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
    nlohmann::json snapshot() override { return {}; }
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

    fanout.remove(stalled);
    EXPECT_NE(fanout.add("hello"), nullptr) << "a removed client frees its place";
    fanout.close();
    EXPECT_FALSE(fanout.take(*reader, got));
}

}  // namespace
