// What the live page is sent: one batch of final states per piece of work,
// JSON written straight into text that reads back as the tree printer's,
// and a timeline that lists a burst's first events and counts the rest.
#include "front/web/facility_backend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "connection/connection.h"
#include "front/json_text.h"
#include "front/web/event_fanout.h"

namespace vhost {
namespace web {
namespace {

using nlohmann::json;

// A component that sends, on the parent request "cmd=<command>", that command.
class CommandScript : public vesk_client_callback {
public:
    explicit CommandScript(vesk_client_callback* host) : host_(host) {}
    char* notify(void* data, int type) override {
        if (type == VESK_NOTIFY_PARENT_REQUEST) {
            const std::string key = static_cast<const char*>(data);
            if (key.rfind("cmd=", 0) == 0) {
                char* reply = host_->notify(const_cast<char*>(key.c_str() + 4), VESK_NOTIFY_COMMAND);
                if (reply != nullptr) host_->notify(reply, VESK_NOTIFY_RELEASE);
            }
        } else if (type == VESK_NOTIFY_RELEASE) {
            delete[] static_cast<char*>(data);
        }
        return nullptr;
    }

private:
    vesk_client_callback* host_;
};

vesk_client_callback* makeScript(vesk_client_callback* host, const char*) {
    return new CommandScript(host);
}

// The server's side: records what is published; a flush runs when asked.
struct Outlet : EventOutlet {
    bool open = true;
    int flushesAsked = 0;
    std::vector<json> events;
    bool listening() const override { return open; }
    void publish(std::string event) override { events.push_back(json::parse(event)); }
    void flushSoon() override { ++flushesAsked; }
};

class BackendTest : public ::testing::Test {
protected:
    BackendTest() : backend(timeline) {}
    void SetUp() override {
        facility = std::make_unique<Facility>(Environment(), timeline, false);
        backend.attach(*facility);
        backend.setEventOutlet(&outlet);
    }
    void TearDown() override { backend.setEventOutlet(nullptr); }
    Connection& component(const std::string& name) {
        Connection& added = facility->addComponent(name, makeScript, "panels", "fake");
        EXPECT_TRUE(added.create());
        return added;
    }
    // The batches published by one flush.
    std::vector<json> flush() {
        outlet.events.clear();
        backend.flushEvents();
        return outlet.events;
    }

    // The backend goes before the facility it observes.
    Timeline timeline;
    std::unique_ptr<Facility> facility;
    FacilityBackend backend;
    Outlet outlet;
};

TEST_F(BackendTest, OneBatchHoldsTheFinalStateOfEachInputAndSlot) {
    facility->forceGpi(3, 7, 1);
    facility->forceGpi(3, 8, 1);
    facility->forceGpi(3, 7, 0);
    facility->forceInfo(20, 4, "PGM");
    facility->forceInfo(20, 4, "PVW");
    facility->forceInfo(-1, 2147483647, "far");
    EXPECT_EQ(outlet.flushesAsked, 1) << "one flush per piece of work, asked once";
    const auto events = flush();
    ASSERT_EQ(events.size(), 1u);
    const json& batch = events[0];
    EXPECT_EQ(batch["type"], "batch");
    EXPECT_EQ(batch["gpi"], json::parse("[[3,8,1,false],[3,7,0,false]]")) << "each in its last place";
    EXPECT_EQ(batch["info"], json::parse(R"([[20,4,"PVW",false],[-1,2147483647,"far",false]])"));
    EXPECT_FALSE(batch.contains("written"));
    EXPECT_FALSE(batch.contains("controls"));
    EXPECT_EQ(batch["timeline"].size(), 6u);
    EXPECT_EQ(batch["timeline"][5]["text"], "force info -1.2147483647 = \"far\"");

    EXPECT_TRUE(flush().empty()) << "nothing new, nothing sent";
    facility->forceGpi(3, 7, 1);
    EXPECT_EQ(outlet.flushesAsked, 2) << "the next piece of work asks again";
}

TEST_F(BackendTest, ALampTestReachesEveryViewForOneToTenSeconds) {
    // Each row: the seconds asked, the status, whether every view was told.
    const struct {
        std::int32_t seconds;
        int status;
        bool told;
    } rows[] = {{0, 400, false}, {1, 200, true}, {10, 200, true}, {11, 400, false}, {-5, 400, false}};
    for (const auto& row : rows) {
        outlet.events.clear();
        const Outcome outcome = backend.lampTest(row.seconds);
        EXPECT_EQ(outcome.status, row.status) << row.seconds;
        ASSERT_EQ(outlet.events.size(), row.told ? 1U : 0U) << row.seconds;
        if (row.told) {
            EXPECT_EQ(outlet.events[0], json({{"type", "lamp_test"}, {"seconds", row.seconds}}));
        }
    }
}

TEST_F(BackendTest, WritesAndControlsArriveWithTheirComponent) {
    Connection& cam1 = component("cam1");
    cam1.parentRequest("cmd=PS '1' '" VESK_HOST_TEST_PANELS "/varnik.vesk_ui'");
    flush();
    cam1.parentRequest("cmd=IR 12 20 20");
    cam1.parentRequest("cmd=IW 12 '1' 20 0");
    cam1.parentRequest("cmd=IW 12 '2' 20 0");
    cam1.parentRequest("cmd=TP 'text=1' '1' 'Tally'");
    cam1.parentRequest("cmd=TP 'text=2' '1' 'Tally'");
    const auto events = flush();
    ASSERT_EQ(events.size(), 1u);
    const json& batch = events[0];
    ASSERT_EQ(batch["written"].size(), 1u);
    EXPECT_EQ(batch["written"][0], json::parse(R"(["cam1",12,20,"2",0])"));
    EXPECT_EQ(batch["info"], json::parse(R"([[12,20,"2",true]])")) << "registered by cam1";
    EXPECT_EQ(batch["controls"], json::parse(R"([["cam1","1","Tally","2"]])"));
    // The snapshot knows where the tally landed.
    const json state = json::parse(backend.snapshot({}));
    EXPECT_EQ(state["components"][0]["tally"]["text"], "2");
}

// The page is told a control's text whatever property was set: one it had,
// one it gains (moving the control's properties), or its text itself.
TEST_F(BackendTest, AControlsTextReachesThePageWhateverPropertyWasSet) {
    const std::string layout = ::testing::TempDir() + "plain_control.vesk_ui";
    std::ofstream(layout) << "control Plain label=\"no text yet\"\n";
    Connection& cam = component("cam");
    cam.parentRequest("cmd=PS '1' '" + layout + "'");
    flush();
    const struct {
        const char* put;
        const char* text;
    } steps[] = {
        {"label=still none", ""},
        {"text=on", "on"},
        {"colour=red", "on"}, {"size=9", "on"}, {"weight=bold", "on"}, {"style=x", "on"},
        {"text=off", "off"},
        {"label=again", "off"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.put);
        cam.parentRequest(std::string("cmd=TP '") + step.put + "' '1' 'plain'");
        const auto events = flush();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0]["controls"], json::array({json::array({"cam", "1", "Plain", step.text})}));
    }
    std::remove(layout.c_str());
}

// The snapshot is written straight into text: it must read back as a JSON
// tree prints it (keys in order, escapes, 8-bit texts as UTF-8), with the
// members it is given in their place among its own.
TEST_F(BackendTest, TheSnapshotReadsBackAsATreePrintsIt) {
    Connection& cam = component("cam\xE9 \"1\"");
    cam.parentRequest("cmd=PS '1' '" VESK_HOST_TEST_PANELS "/varnik.vesk_ui'");
    cam.parentRequest("cmd=IW 12 'on\tair\x01' 20 0");
    // Two names that are one once mapped to UTF-8: the last set holds.
    cam.parentRequest("cmd=TP '\xE9=latin' '1' 'Tally'");
    cam.parentRequest("cmd=TP '\xC3\xA9=utf8' '1' 'Tally'");
    cam.parentRequest("cmd=TP 'text=\\ \xFF' '1' 'Tally'");
    component("idle");
    facility->forceGpi(3, 7, 1);
    facility->forceInfo(-1, 2147483647, "\"q\" \x7F\xC0");
    flush();
    const std::string text = backend.snapshot({{"viewers", "[{\"views\":[\"/\"]}]"}, {"aaa", "0"}});
    const json state = json::parse(text);
    EXPECT_EQ(text, state.dump(-1, ' ', false, json::error_handler_t::replace));
    EXPECT_EQ(text.compare(0, 9, "{\"aaa\":0,"), 0) << text.substr(0, 40);
    EXPECT_EQ(state["viewers"][0]["views"][0], "/");
    const json& first = state["components"][0];
    EXPECT_EQ(first["name"], "cam\u00E9 \"1\"");
    EXPECT_EQ(first["tally"], json::parse(R"({"device":12,"slot":20,"text":"on\tair\u0001","time_ms":0})"));
    EXPECT_EQ(first["warnings"], json::array());
    json tally;
    for (const json& control : first["panels"][0]["controls"]) {
        if (control["id"] == "Tally") tally = control;
    }
    EXPECT_EQ(tally["properties"]["\u00E9"], "utf8");
    EXPECT_EQ(tally["text"], "\\ \u00FF");
    EXPECT_EQ(state["components"][1]["tally"], nullptr);
    EXPECT_EQ(state["components"][1]["panels"], json::array());
    EXPECT_EQ(state["gpi"], json::parse(R"([{"device":3,"input":7,"registered":false,"state":1}])"));
    EXPECT_EQ(state["info"][0], json::parse(R"({"device":-1,"registered":false,"slot":2147483647,"text":"\"q\" \u007F\u00C0"})"));
    EXPECT_EQ(state["info"][1], json::parse(R"({"device":12,"registered":false,"slot":20,"text":"on\tair\u0001"})"));
}

TEST_F(BackendTest, AlarmControlsArriveWithTheirLevelAndLastAction) {
    Connection& panel = component("cam1");
    panel.parentRequest("cmd=PS '1' '" VESK_HOST_TEST_PANELS "/components/AlarmPanel/alarm_panel.vesk_ui'");
    flush();
    // An alarm raised, then the group action of AckAll as the framework sends it.
    panel.parentRequest("cmd=TP 'value=1' '1' 'alm_2'");
    panel.parentRequest("cmd=TP 'alarm=4' '1' 'alm_2'");
    panel.parentRequest("cmd=TP 'value=4' '1' 'alm_2'");
    panel.parentRequest("cmd=TP 'text=0 in alarm' '1' 'Summary'");
    const auto events = flush();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["controls"],
              json::parse(R"([["cam1","1","alm_2","-","4","4"],["cam1","1","Summary","0 in alarm"]])"))
        << "only alarm controls carry a level and an action";
}

TEST_F(BackendTest, NothingIsGatheredWhileNoPageListens) {
    outlet.open = false;
    facility->forceGpi(3, 7, 1);
    backend.flushEvents();
    EXPECT_TRUE(outlet.events.empty());
    outlet.open = true;
    facility->forceGpi(3, 8, 1);
    const auto events = flush();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["gpi"], json::parse("[[3,8,1,false]]"));
    // The snapshot still has every event, listened to or not.
    EXPECT_EQ(json::parse(backend.snapshot({}))["timeline"].size(), 2u);
}

TEST_F(BackendTest, AnEventOfItsOwnFollowsWhatWasGatheredBeforeIt) {
    facility->forceGpi(3, 7, 1);
    outlet.events.clear();
    backend.publishEvent({{"type", "bridge"}, {"name", "mixer"}});
    ASSERT_EQ(outlet.events.size(), 2u);
    EXPECT_EQ(outlet.events[0]["type"], "batch");
    EXPECT_EQ(outlet.events[1]["type"], "bridge");
    EXPECT_TRUE(flush().empty());
}

TEST_F(BackendTest, ALiveRunListsTheFirstRoutineEventsOfABurstAndCountsTheRest) {
    const std::size_t limit = FacilityBackend::routineEventsPerBatch;
    timeline.limitDetail(limit);
    for (std::size_t i = 0; i < limit + 5; ++i) facility->forceGpi(3, static_cast<std::int32_t>(i), 1);
    timeline.event(EventKind::Warning, "a warning always passes");
    auto events = flush();
    ASSERT_EQ(events.size(), 1u);
    const json& lines = events[0]["timeline"];
    ASSERT_EQ(lines.size(), limit + 2);
    EXPECT_EQ(lines[limit - 1]["text"], "force gpi 3." + std::to_string(limit - 1) + " = 1");
    EXPECT_EQ(lines[limit]["kind"], "warning");
    EXPECT_EQ(lines[limit + 1]["text"],
              "5 more event(s) of this burst not shown (a live run shows 100 routine events per burst)");
    EXPECT_EQ(events[0]["gpi"].size(), limit + 5) << "every state goes out, only the lines are cut";
    // The next burst starts afresh.
    for (std::size_t i = 0; i < limit; ++i) facility->forceGpi(4, static_cast<std::int32_t>(i), 1);
    events = flush();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["timeline"].size(), limit);
    EXPECT_EQ(timeline.takeLeftOut(), 0u);
    timeline.limitDetail(0);
    // Without a limit per burst a batch still lists at most its maximum.
    const std::size_t most = FacilityBackend::batchTimelineMax;
    for (std::size_t i = 0; i < most + 3; ++i) facility->forceGpi(5, static_cast<std::int32_t>(i), 1);
    events = flush();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["timeline"].size(), most);
    EXPECT_EQ(events[0]["timeline_left_out"], 3);
}

TEST(FinalStatesList, KeepsTheLastEntryOfEachKeyInItsPlace) {
    struct Entry {
        std::uint64_t key = 0;
        int value = 0;
    };
    const struct {
        std::vector<std::pair<std::uint64_t, int>> added;
        std::vector<std::pair<std::uint64_t, int>> kept;
    } rows[] = {
        {{}, {}},
        {{{1, 10}}, {{1, 10}}},
        {{{1, 10}, {1, 11}}, {{1, 11}}},                       // a repeat at once replaces
        {{{1, 10}, {2, 20}, {1, 11}}, {{2, 20}, {1, 11}}},     // later: the last place counts
        {{{3, 1}, {2, 2}, {1, 3}}, {{3, 1}, {2, 2}, {1, 3}}},  // no repeats: order kept
        {{{~0ull, 1}, {0, 2}, {~0ull, 3}, {0, 4}, {5, 5}}, {{~0ull, 3}, {0, 4}, {5, 5}}},
    };
    FinalStates<Entry> states;
    for (const auto& row : rows) {
        states.clear();
        for (const auto& [key, value] : row.added) states.add(key).value = value;
        states.keepLast();
        std::vector<std::pair<std::uint64_t, int>> kept;
        for (const Entry& entry : states) kept.emplace_back(entry.key, entry.value);
        EXPECT_EQ(kept, row.kept);
    }
}

TEST(TimelineDetail, CountsWhatItLeavesOutAndLetsWarningsPass) {
    struct Counting : TimelineSink {
        int seen = 0;
        void event(const Event&) override { ++seen; }
    } sink;
    Timeline timeline;
    EXPECT_FALSE(timeline.wanted()) << "nobody listens";
    timeline.addSink(&sink);
    timeline.limitDetail(2);
    EXPECT_TRUE(timeline.wanted());
    timeline.event(EventKind::Command, "one");
    timeline.event(EventKind::Notify, "two");
    EXPECT_FALSE(timeline.wanted()) << "past the limit; counted as left out";
    timeline.event(EventKind::Host, "three");
    for (EventKind kind : {EventKind::Warning, EventKind::Failure, EventKind::Error, EventKind::Pass}) {
        timeline.event(kind, "always");
    }
    EXPECT_EQ(sink.seen, 6);
    EXPECT_EQ(timeline.takeLeftOut(), 2u);
    EXPECT_TRUE(timeline.wanted());
    timeline.limitDetail(0);
    for (int i = 0; i < 10; ++i) timeline.event(EventKind::Command, "unlimited");
    EXPECT_EQ(timeline.takeLeftOut(), 0u);
    EXPECT_EQ(sink.seen, 16);
}

// Written straight into text, a string reads back as the tree printer writes it.
TEST(JsonText, StringsMatchTheTreePrinter) {
    const std::string texts[] = {
        "",           "CAM 1",          "\"quoted\"", "back\\slash", "a\nb\tc\rd\be\ff",
        "\x01\x1f\x7f", "caf\xc3\xa9", "lone \xe9 byte", "cut \xe2\x82",  "overlong \xc0\x80",
        "surrogate \xed\xa0\x80", "\xf0\x9f\x8e\xa5 four", "past \xf4\x90\x80\x80", "end \xc3",
        std::string("nul\0inside", 10),
    };
    for (const std::string& text : texts) {
        std::string written;
        appendJsonString(written, text);
        const std::string printed =
            json(utf8Text(text)).dump(-1, ' ', false, json::error_handler_t::replace);
        EXPECT_EQ(written, printed) << json(utf8Text(text)).dump(-1, ' ', true);
    }
    std::string number;
    appendJsonNumber(number, -9223372036854775807LL - 1);
    EXPECT_EQ(number, "-9223372036854775808");
}

TEST(EventFanoutQueue, OnlyAClientThatFallsBehindIsDropped) {
    EventFanout::Limits limits;
    limits.maxMessages = 3;
    limits.maxBytes = 10;
    EventFanout fanout(limits);
    auto client = fanout.add("hello");
    ASSERT_NE(client, nullptr);
    std::string out;
    // A message larger than the bound is taken when nothing waits.
    fanout.publish(std::string(64, 'x'));
    EXPECT_FALSE(client->dropped());
    ASSERT_TRUE(fanout.take(*client, out));
    EXPECT_EQ(out.size(), 5u + 64u);
    // Up to the count: kept; one more while they wait: dropped.
    for (int i = 0; i < 3; ++i) fanout.publish("ab");
    EXPECT_FALSE(client->dropped());
    fanout.publish("ab");
    EXPECT_TRUE(client->dropped());
    EXPECT_EQ(fanout.takeDropped(), 1u);
    EXPECT_FALSE(fanout.take(*client, out));

    // Bytes: up to the bound kept, one past it dropped.
    auto second = fanout.add("");
    fanout.publish("12345");
    fanout.publish("12345");
    EXPECT_FALSE(second->dropped());
    fanout.publish("1");
    EXPECT_TRUE(second->dropped());
}

TEST_F(BackendTest, ABatchOfManyComponentsComesInPartsOfWholeComponents) {
    const std::size_t most = FacilityBackend::componentsPerBatchPart;
    std::vector<Connection*> cams;
    for (std::size_t i = 0; i <= most; ++i) {
        cams.push_back(&component("cam" + std::to_string(i)));
        cams.back()->parentRequest("cmd=PS '1' '" VESK_HOST_TEST_PANELS "/varnik.vesk_ui'");
        cams.back()->parentRequest("cmd=IR 12 " + std::to_string(i) + " " + std::to_string(i));
    }
    flush();
    // Each row: how many components act in one piece of work, the parts sent.
    const struct {
        std::size_t acting;
        std::size_t parts;
    } rows[] = {{most, 1}, {most + 1, 2}};
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.acting; ++i) {
            const std::string slot = std::to_string(i);
            cams[i]->parentRequest("cmd=IW 12 '" + std::to_string(row.parts) + "' " + slot + " 0");
            cams[i]->parentRequest("cmd=TP 'text=" + std::to_string(row.parts) + "' '1' 'Tally'");
        }
        facility->forceGpi(3, 7, static_cast<std::int32_t>(row.parts));
        facility->forceInfo(40, 1, "nobody's");
        const auto events = flush();
        ASSERT_EQ(events.size(), row.parts) << row.acting;
        std::set<std::string> seen;
        for (std::size_t part = 0; part < events.size(); ++part) {
            const json& batch = events[part];
            const bool last = part + 1 == events.size();
            const auto listOf = [&batch](const char* name) {
                return batch.contains(name) ? batch[name] : json::array();
            };
            EXPECT_EQ(batch["type"], "batch");
            // A component's write, its slot and its tally control share a part.
            std::set<std::string> written, controlled, slots;
            for (const json& entry : listOf("written")) {
                written.insert(entry[0].get<std::string>());
                slots.insert(std::to_string(entry[2].get<int>()));
            }
            for (const json& entry : listOf("controls")) controlled.insert(entry[0].get<std::string>());
            std::set<std::string> slotsHere;
            for (const json& entry : listOf("info")) {
                if (entry[0] == 12) slotsHere.insert(std::to_string(entry[1].get<int>()));
            }
            EXPECT_EQ(written, controlled) << row.acting << " part " << part;
            EXPECT_EQ(slots, slotsHere) << row.acting << " part " << part;
            EXPECT_EQ(written.size(), last ? row.acting - most * part : most) << row.acting;
            seen.insert(written.begin(), written.end());
            // The inputs, slots nobody wrote and the timeline close the batch.
            EXPECT_EQ(batch.contains("gpi"), last) << row.acting << " part " << part;
            EXPECT_EQ(batch.contains("timeline"), last) << row.acting << " part " << part;
            const bool stray = !listOf("info").empty() && listOf("info").back()[0] == 40;
            EXPECT_EQ(stray, last) << row.acting << " part " << part;
        }
        EXPECT_EQ(seen.size(), row.acting) << "every component once";
    }
}

}  // namespace
}  // namespace web
}  // namespace vhost
