// Unit tests of the live page's server parts that do not need a socket:
// the --serve argument, request bodies, the facility queue and the event fanout.
#include <gtest/gtest.h>

#include <thread>

#include "front/web/api_requests.h"
#include "front/web/event_fanout.h"
#include "front/web/facility_queue.h"
#include "front/web/serve_options.h"

namespace {

using namespace vhost::web;
using std::chrono::milliseconds;

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
    void setEventSink(std::function<void(const nlohmann::json&)>) override {}
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

TEST(FacilityQueue, RunsJobsOnTheFacilityThreadAndDropsThoseNotTakenInTime) {
    FacilityQueue queue;
    bool late = false;
    EXPECT_FALSE(queue.call([&] { late = true; }, milliseconds(20)));
    queue.runUntil(FacilityQueue::Clock::now());
    EXPECT_FALSE(late) << "a job whose caller gave up must never run";

    std::thread::id ranOn;
    std::thread caller([&] { EXPECT_TRUE(queue.call([&] { ranOn = std::this_thread::get_id(); }, milliseconds(5000))); });
    while (ranOn == std::thread::id()) queue.runUntil(FacilityQueue::Clock::now() + milliseconds(10));
    caller.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    queue.close();
    EXPECT_FALSE(queue.call([] {}, milliseconds(5000)));
}

TEST(EventFanout, DropsOnlyTheClientThatFallsBehind) {
    EventFanout::Limits limits;
    limits.maxClients = 2;
    limits.maxMessages = 3;
    EventFanout fanout(limits);
    auto reader = fanout.add("hello");
    auto stalled = fanout.add("hello");
    EXPECT_EQ(fanout.add("hello"), nullptr) << "over the client limit";

    std::vector<std::string> got;
    for (int i = 0; i < 5; ++i) {
        fanout.publish("m" + std::to_string(i));
        ASSERT_TRUE(fanout.take(*reader, got, milliseconds(0)));
    }
    EXPECT_EQ(got, std::vector<std::string>{"m4"});
    EXPECT_FALSE(fanout.take(*stalled, got, milliseconds(0)));
    EXPECT_EQ(fanout.takeDropped(), 1u);
    EXPECT_EQ(fanout.takeDropped(), 0u) << "a drop is reported once";

    fanout.remove(stalled);
    EXPECT_NE(fanout.add("hello"), nullptr) << "a removed client frees its place";
    fanout.close();
    EXPECT_FALSE(fanout.take(*reader, got, milliseconds(1000)));
}

}  // namespace
