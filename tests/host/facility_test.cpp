// The host's side of the commands and the facility around them, driven by
// in-process scripts that send whatever command a test hands them and
// record what they receive.
#include "facility/facility.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "connection/connection.h"
#include "front/facility_setup.h"
#include "front/recording/recorder.h"
#include "plugins/module_set.h"
#include "portable.h"
#include "front/scenario.h"
#include "front/timeline_printer.h"
#include "platform/diagnostic_capture.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace vhost;

namespace {

class FakeScript : public vesk_client_callback {
public:
    explicit FakeScript(vesk_client_callback* host) : host_(host) {}
    ~FakeScript() override { send("AS"); }

    // Parent request "cmd=<command>" sends the command; "cmds=<a>;<b>..."
    // sends several in the one call; "keep=<command>" sends it and never
    // hands the reply back.
    char* notify(void* data, int type) override {
        if (busy) reentered = true;
        busy = true;
        char* result = nullptr;
        switch (type) {
            case VESK_NOTIFY_DRIVER_UPDATE: {
                const auto* record = static_cast<const driverUpdateRecord*>(data);
                received.push_back("update " + std::to_string(record->device) + "." +
                                   std::to_string(record->index) + " " +
                                   std::to_string(record->state) + " " + record->text);
                for (const auto& command : onUpdate) send(command);
                break;
            }
            case VESK_NOTIFY_CONTROL_EVENT: {
                const auto* record = static_cast<const controlEventRecord*>(data);
                received.push_back(std::string("event ") + record->id + " " + record->key->name +
                                   "=" + record->key->value);
                break;
            }
            case VESK_NOTIFY_PARENT_REQUEST: {
                const std::string key = static_cast<const char*>(data);
                if (key.rfind("cmd=", 0) == 0) send(key.substr(4));
                if (key.rfind("cmds=", 0) == 0) {
                    std::istringstream commands(key.substr(5));
                    for (std::string command; std::getline(commands, command, ';');) send(command);
                }
                if (key.rfind("keep=", 0) == 0) send(key.substr(5), false);
                if (key == "answer and end") send("AS");
#ifndef _WIN32
                if (key.rfind("say=", 0) == 0) {
                    const std::string text = key.substr(4) + "\n";
                    if (::write(2, text.data(), text.size()) < 0) received.push_back("not said");
                }
#endif
                if (key.rfind("answer", 0) == 0) {
                    result = new char[4];
                    std::memcpy(result, "yes", 4);
                }
                break;
            }
            case VESK_NOTIFY_TIMER:
                received.push_back("timer " + std::to_string(static_cast<int>(
                                                  reinterpret_cast<std::intptr_t>(data))));
                for (const auto& command : onTimer) send(command);
                break;
            case VESK_NOTIFY_RELEASE:
                delete[] static_cast<char*>(data);
                ++released;
                break;
            default:
                break;
        }
        busy = false;
        return result;
    }

    void send(const std::string& command, bool handBack = true) {
        char* reply = host_->notify(const_cast<char*>(command.c_str()), VESK_NOTIFY_COMMAND);
        replies.push_back(reply != nullptr ? reply : "<null>");
        const std::string word = command.substr(0, 2);
        if (reply != nullptr && handBack && (word == "TG" || word == "XI" || word == "SD")) {
            host_->notify(reply, VESK_NOTIFY_RELEASE);
        }
    }

    vesk_client_callback* host_;
    std::vector<std::string> received;
    std::vector<std::string> replies;
    std::vector<std::string> onUpdate;
    std::vector<std::string> onTimer;
    bool busy = false;
    bool reentered = false;
    int released = 0;
};

FakeScript* lastScript = nullptr;

vesk_client_callback* makeFake(vesk_client_callback* host, const char*) {
    lastScript = new FakeScript(host);
    return lastScript;
}

class HostTest : public ::testing::Test {
protected:
    HostTest() : printer(out, OutputMode::Json) { timeline.addSink(&printer); }

    void start(Environment env = Environment()) {
        env.instances["cam1"] = Instance{3, 7, "g"};
        host = std::make_unique<Facility>(std::move(env), timeline, false);
        component = &host->addComponent("main", makeFake, "panels", "fake");
        ASSERT_TRUE(component->create());
        script = lastScript;
    }
    // A second component in the same facility.
    FakeScript* add(const std::string& name, Connection** connection) {
        *connection = &host->addComponent(name, makeFake, "panels", "fake");
        EXPECT_TRUE((*connection)->create());
        return lastScript;
    }
    void send(const std::string& command) { component->parentRequest("cmd=" + command); }
    const std::string& lastReply() { return script->replies.back(); }

    std::ostringstream out;
    TimelinePrinter printer;
    Timeline timeline;
    std::unique_ptr<Facility> host;
    Connection* component = nullptr;
    FakeScript* script = nullptr;
};

}  // namespace

TEST_F(HostTest, WritesReachRegistrantsOnlyAfterTheCallReturns) {
    start();
    send("IR 12 5 6");
    send("IW 12 'On Air' 5 0");
    send("IW 12 'x' 7 0");  // not registered: stored, not reported
    EXPECT_FALSE(script->reentered);
    EXPECT_EQ(script->received, (std::vector<std::string>{"update 12.5 0 On Air"}));
    EXPECT_EQ(host->infoText(12, 7), "x");
}

TEST_F(HostTest, RegistrationsReplaceAddAndStop) {
    start();
    send("GR 3 7 7");
    send("GR 3 8 8");  // replaces 7
    send("GR 3 9 9 'ADD'");
    host->forceGpi(3, 7, 1);
    host->forceGpi(3, 8, 1);
    host->forceGpi(3, 9, 1);
    send("GU 3");
    host->forceGpi(3, 9, 0);
    EXPECT_EQ(script->received, (std::vector<std::string>{"update 3.8 1 1", "update 3.9 1 1"}));
}

TEST_F(HostTest, PollsReportTheCurrentStateOfEverySlot) {
    Environment env;
    env.info[20][4] = "PREVIEW";
    env.gpi[3][2] = 1;
    start(env);
    send("IP 20 3 4");
    send("GP 3 2 2");
    send("IP 20 9 1");  // empty range: nothing
    EXPECT_EQ(script->received, (std::vector<std::string>{"update 20.3 0 ", "update 20.4 0 PREVIEW",
                                                          "update 3.2 1 1"}));
}

TEST_F(HostTest, AnswersQueriesAndTakesTheirRepliesBack) {
    start();
    send("TP 'text=GPI' '1' 'deviceType'");  // no panel yet: ignored
    send("PS '1' '" VESK_HOST_TEST_PANELS "/varnik.vesk_ui'");
    EXPECT_EQ(lastReply(), "OK");
    send("PS '2' 'missing/none.vesk_ui'");
    EXPECT_EQ(lastReply(), "<null>");
    send("TP 'text=GPI' '1' 'deviceType'");
    send("TG '1' 'DEVICETYPE' 'text'");
    EXPECT_EQ(lastReply(), "text=GPI");
    send("TG '1' 'Tally' 'colour'");
    EXPECT_EQ(lastReply(), "colour=");
    send("TG '1' 'Tally' 'all'");
    EXPECT_EQ(lastReply(), "text=0\nlabel=Tally");
    send("TG '1' 'Nothing' 'text'");
    EXPECT_EQ(lastReply(), "<null>");
    send("XI '1' 'src'");
    EXPECT_EQ(lastReply(), "SrcDev,SrcIndex");
    send("XI '1' 'alm_'");
    EXPECT_EQ(lastReply(), "<null>");
    send("SD 'cam1'");
    EXPECT_EQ(lastReply(), "3 7");
    send("SD 'cam2'");
    EXPECT_EQ(lastReply(), "<null>");
    host->finish();
    EXPECT_EQ(timeline.failures(), 0) << out.str();
}

TEST_F(HostTest, ReportsRepliesNeverHandedBackAndStrangeReleases) {
    start();
    component->parentRequest("keep=SD 'cam1'");
    component->notify(const_cast<char*>("not ours"), VESK_NOTIFY_RELEASE);
    EXPECT_EQ(timeline.failures(), 1);
    host->finish();
    EXPECT_EQ(timeline.failures(), 2);
    EXPECT_NE(out.str().find("was never handed back"), std::string::npos);
}

TEST_F(HostTest, TimersTickOnTheSimulatedClockUntilStopped) {
    start();
    send("ET 1 100");
    send("ET 7 250");
    host->advance(350);
    EXPECT_EQ(script->received,
              (std::vector<std::string>{"timer 1", "timer 1", "timer 7", "timer 1"}));
    EXPECT_EQ(host->now(), 350);
    script->received.clear();
    script->onTimer = {"ET 1"};
    host->advance(1000);
    EXPECT_EQ(script->received,
              (std::vector<std::string>{"timer 1", "timer 7", "timer 7", "timer 7", "timer 7"}));
    EXPECT_FALSE(component->timerRunning(1));
    EXPECT_TRUE(component->timerRunning(7));
}

TEST_F(HostTest, RestartedTimersMoveAndTimersDueTogetherKeepTheirOrder) {
    start();
    send("ET 3 100");
    send("ET 2 100");
    send("ET 1 100");
    host->advance(50);
    send("ET 2 100");  // restarted: next due at 150, not at 100
    host->advance(150);
    EXPECT_EQ(script->received, (std::vector<std::string>{"timer 3", "timer 1", "timer 2",
                                                          "timer 3", "timer 1"}));
}

TEST_F(HostTest, ARecreatedComponentStartsAfresh) {
    start();
    send("ET 1 100");
    send("IR 12 5 5");
    send("GR 3 7 7");
    send("IW 12 '1' 20 0");
    component->destroy();
    ASSERT_TRUE(component->create());
    script = lastScript;
    host->advance(300);
    host->forceInfo(12, 5, "x");
    host->forceGpi(3, 7, 1);
    EXPECT_TRUE(script->received.empty());
    Connection* second = nullptr;
    add("cam2", &second);
    second->parentRequest("cmd=IW 12 '1' 20 0");  // main no longer owns 12.20
    EXPECT_EQ(out.str().find("tally conflict"), std::string::npos) << out.str();
}

TEST_F(HostTest, RoutingAtTheEdgesOfWideRegistrations) {
    // Up to 256 slots are entered one by one; wider ranges are kept whole.
    const struct {
        const char* commands;  // separated by ';'
        std::int32_t slot;
        std::size_t updates;
    } cases[] = {
        {"IR 12 1 256", 1, 1},          {"IR 12 1 256", 256, 1},
        {"IR 12 1 256", 257, 0},        {"IR 12 1 257", 1, 1},
        {"IR 12 1 257", 257, 1},        {"IR 12 1 257", 0, 0},
        {"IR 12 1 257", 258, 0},        {"IR 12 1 256;IU 12", 256, 0},
        {"IR 12 1 257;IU 12", 257, 0},  {"IR 12 1 257;IR 12 300 300", 1, 0},
        {"IR 12 1 257;IR 12 5 5 'ADD'", 5, 1}, {"IR 12 1 257;IR 12 2 400 'ADD'", 7, 1},
        // Slots far apart on one device, below the first one, and their removal.
        {"IR 12 9 9;IR 12 3 3 'ADD'", 3, 1},   {"IR 12 9 9;IR 12 3 3 'ADD';IU 12", 3, 0},
        {"IR 12 5 5;IR 12 2000000000 2000000000 'ADD'", 2000000000, 1},
        {"IR 12 70000 70000;IR 12 10 10 'ADD';IR 12 60000 60000 'ADD'", 10, 1},
        {"IR 12 70000 70000;IR 12 10 10 'ADD';IR 12 60000 60000 'ADD'", 70000, 1},
        {"IR 12 70000 70000;IR 12 10 10 'ADD';IU 12", 10, 0},
    };
    for (const auto& c : cases) {
        start();
        std::istringstream commands(c.commands);
        for (std::string command; std::getline(commands, command, ';');) send(command);
        host->forceInfo(12, c.slot, "x");
        EXPECT_EQ(script->received.size(), c.updates) << c.commands << " / " << c.slot;
    }
}

TEST_F(HostTest, LongTextsArriveWhole) {
    start();
    send("IR 12 5 5");
    for (const std::size_t length : {VESK_DRIVER_TEXT_CAPACITY - 1, VESK_DRIVER_TEXT_CAPACITY}) {
        out.str("");
        host->forceInfo(12, 5, std::string(length, 'a'));
        EXPECT_EQ(script->received.back(),
                  "update 12.5 0 " + std::string(VESK_DRIVER_TEXT_CAPACITY - 1, 'a'));
        EXPECT_EQ(out.str().find("cut to") != std::string::npos,
                  length == VESK_DRIVER_TEXT_CAPACITY);
    }
    // Commands around the size of the plug-in's built-in buffer, with the longest numbers.
    const std::string min = "-2147483648";
    for (const std::size_t length : {511u, 512u, 513u}) {
        const std::string head = "IW " + min + " '", tail = "' " + min + " " + min;
        const std::string text(length - head.size() - tail.size(), 't');
        send(head + text + tail);
        EXPECT_EQ(host->infoText(INT32_MIN, INT32_MIN), text) << length;
    }
}

TEST_F(HostTest, TypeThreeRepliesAreHandedBackToTheScript) {
    start();
    EXPECT_EQ(component->parentRequest("answer"), std::optional<std::string>("yes"));
    EXPECT_EQ(script->released, 1);
    EXPECT_EQ(component->parentRequest("other"), std::nullopt);
    EXPECT_EQ(script->released, 1);
}

TEST_F(HostTest, ControlEventsCarryADecodedKey) {
    start();
    component->controlEvent("AckAll", "press.x=1");
    EXPECT_EQ(script->received, (std::vector<std::string>{"event AckAll press=1"}));
}

TEST_F(HostTest, AsOutsideDestructionEndsTheComponentAfterTheCall) {
    start();
    send("AS");
    EXPECT_FALSE(component->alive());
    EXPECT_FALSE(component->parentRequest("cmd=ET 1 5"));
}

TEST_F(HostTest, AFeedbackLoopIsCutOff) {
    start();
    send("IR 12 5 5");
    script->onUpdate = {"IW 12 'again' 5 0"};
    host->forceInfo(12, 5, "go");
    EXPECT_EQ(timeline.failures(), 1);
    EXPECT_LE(script->received.size(),
              static_cast<std::size_t>(Facility::maxDeliveriesPerStep));
    EXPECT_FALSE(script->reentered);
}

TEST_F(HostTest, ScenarioExpectationsFollowTheCommandOrder) {
    start();
    printer.showComponents(true);
    ScenarioRunner runner(*host, timeline);
    std::istringstream scenario(
        "param cmd=IR 1 2 2\n"
        "param cmd=IU 1\n"
        "expect sent IU 1\n"
        "expect sent IR 1 2 2\n"  // before the matched one: fails
        "expect not-sent IR 1 2 2\n"
        "expect sent IR 1*\n"  // fails as well: the cursor moved past it
        "bogus line\n"
        "param cmd=ET 5 1\n"
        "param cmd=ET 5 1\n"
        "expect sent ET 5 1\n"
        "expect sent ET 5 1\n"      // sent twice: holds twice
        "expect not-sent ET 5 1\n"  // but not a third time
        "expect @main timer 5 running\n"
        "destroy\n"
        "expect control Tally = 0\n"  // the panel went with the component: fails
        "expect @nobody timer 5 stopped\n"
        "@main param tally_val=1\n"  // an error that names its component
        "config a.ini\n"
        "config b.ini\n");
    runner.run(scenario, false);
    EXPECT_EQ(runner.expectations(), 9);
    EXPECT_EQ(runner.failedExpectations(), 3);
    EXPECT_NE(out.str().find("but the component was destroyed"), std::string::npos);
    EXPECT_NE(out.str().find("no component named \\\"nobody\\\""), std::string::npos);
    EXPECT_NE(out.str().find("\"line\":4"), std::string::npos);
    EXPECT_NE(out.str().find("\"line\":7"), std::string::npos);
    EXPECT_NE(out.str().find("\"line\":17,\"component\":\"main\""), std::string::npos);
    EXPECT_NE(out.str().find("\"line\":19,\"text\":\"a second config step: line 18"),
              std::string::npos);
}

TEST_F(HostTest, RepliesComeBackBeforeAnEndingComponentIsDestroyed) {
    start();
    EXPECT_EQ(component->parentRequest("answer and end"), std::optional<std::string>("yes"));
    EXPECT_FALSE(component->alive());
    host->finish();
    EXPECT_EQ(timeline.failures(), 0) << out.str();
}

TEST_F(HostTest, StoppedTimersAndPollLimits) {
    start();
    send("ET 1 100");
    send("ET 1 0");  // stops, does not start a 0 ms timer
    send("ET 2 1");  // ticks on past the tick limit of one advance
    host->advance(500);
    EXPECT_FALSE(component->timerRunning(1));
    script->received.clear();
    send("ET 2");
    send("IP 20 1 4096");  // the largest poll
    EXPECT_EQ(script->received.size(), 4096u);
    send("IP 20 1 4097");
    EXPECT_EQ(script->received.size(), 4096u);
    // The feedback-loop count starts again with each step.
    send("IP 20 1 4096");
    send("IP 20 1 4096");
    EXPECT_EQ(script->received.size(), 3 * 4096u);
    EXPECT_EQ(timeline.failures(), 0);
}

TEST_F(HostTest, TheClockGoesOnForwardAfterTheTickLimit) {
    start();
    send("ET 1 1");
    host->advance(Facility::maxTicksPerAdvance + 50);
    EXPECT_EQ(timeline.failures(), 1);
    script->received.clear();
    out.str("");
    host->advance(3);
    EXPECT_EQ(host->now(), Facility::maxTicksPerAdvance + 53);
    EXPECT_EQ(script->received.size(), 3u);
    // No event of the second advance is stamped before the first one ended.
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        EXPECT_GT(nlohmann::json::parse(line)["time_ms"].get<long long>(),
                  Facility::maxTicksPerAdvance + 50);
    }
}

TEST_F(HostTest, RehearsalWarnings) {
    Environment env;
    env.info[12][20] = "0";
    env.instances["bus"] = Instance{12, 0, "i"};
    start(env);
    Connection* second = nullptr;
    add("cam2", &second);
    std::string manyArguments = "cmd=ET";
    for (int i = 0; i < 1000; ++i) manyArguments += " 1";
    const struct {
        Connection* who;
        std::string key;
        const char* warning;  // empty: none
    } steps[] = {
        {component, "cmd=IW 12 '1' 20 0", ""},
        {second, "cmd=IW 12 '1' 20 0", "tally conflict: cam2 writes info 12.20, which main"},
        {second, "tally_val=2", ""},                      // first setting: nothing changed
        {second, std::string("tally_val=2\0x", 13), ""},  // the plug-in reads "tally_val=2"
        // Settings alone warn of nothing: the writes tell whether a slot was left lit.
        {second, "tally_val=3", ""},
        {second, "instance=cam9", ""},
        {component, "cmd=IW 12 '2' 21 0", ""},
        {component, "cmd=IW 12 '0' 22 0", "stale tally: info 12.21 still holds \\\"2\\\" written by main, which now writes 12.22"},
        {component, "cmd=IW 12 '1' 23 0", ""},  // the slot it left holds "0"
        // Moving on and clearing the old slot in the same call, in either order.
        {component, "cmds=IW 12 '1' 24 0;IW 12 '0' 23 0", ""},
        {component, "cmds=IW 12 '0' 24 0;IW 12 '3' 25 0", ""},
        // Slots written in one call are all looked after (a panel may light several).
        {component, "cmds=IW 12 '2' 26 0;IW 12 '3' 25 0", ""},
        {component, "cmds=IW 12 '2' 26 0;IW 12 '2' 26 0", "stale tally: info 12.25 still holds \\\"3\\\""},
        {component, "cmd=IW 12 '0' 26 0", ""},
        // Any component, whatever its settings are called.
        {second, "cmd=IW 12 '1' 28 0", "stale tally: info 12.20 still holds \\\"1\\\" written by cam2"},
        {second, "cmd=IW 12 '0' 28 0", ""},
        {component, "cmd=IW 0 '0' 5 0", "write to info device 0"},
        {component, "cmd=IW 12 '' 30 0", "empty tally value written to info 12.30"},
        {component, "cmd=GR 99 1 1", "registration of gpi device 99, which the environment"},
        {component, "cmd=SD 'bus'", "instance bus is at device 12 offset 0: a component takes 0"},
        {second, "cmd=SD 'bus'", ""},  // said once
        {second, "cmd=SD 'cam1'", ""},
        {component, "cmd=TP 'text=Rock 'n' Roll' '1' 'Legend'", "cannot read this one either"},
        {component, "cmd=TP 'text=x' '1'", "malformed TP command"},
        {component, "cmd=PS '1' 'a' 'b' 'c'", "malformed PS command"},
        {component, "cmd=TG '1' Tally 'text'", "malformed TG command"},
        {component, "cmd=SD", "malformed SD command"},
        {component, "cmd=IR 12 1 2 ADD", "malformed IR command"},
        {component, "cmd=GR 3 1 2 3", "malformed GR command"},
        {component, "cmd=IR '12' 1 2", "malformed IR command"},
        {component, "cmd=IP 12 1", "malformed IP command"},
        {component, "cmd=GU 3 1", "malformed GU command"},
        {component, "cmd=IW 12 '1' 20", "malformed IW command"},
        {component, "cmd=IW 12 1 20 0", "malformed IW command"},
        {component, "cmd=ET 1 2 3", "malformed ET command"},
        {component, "cmd=AS 1", "malformed AS command"},
        {component, "cmd=IRX 1 2 3", "unknown command IRX"},
        // More arguments than the reader keeps: counted, refused, nothing overrun.
        {component, "cmd=IR 1 2 3 4 5 6 7 8", "malformed IR command"},
        {component, "cmd=IR 1 2 3 4 5 6 7 8 9", "malformed IR command"},
        {component, "cmd=TP 'a' 'b' 'c' 'd' 'e' 'f' 'g' 'h' 'i'", "malformed TP command"},
        {component, manyArguments, "malformed ET command"},
    };
    for (const auto& step : steps) {
        const int before = timeline.warnings();
        out.str("");
        step.who->parentRequest(step.key);
        const std::string warning = step.warning;
        EXPECT_EQ(timeline.warnings() - before, warning.empty() ? 0 : 1) << step.key << out.str();
        if (!warning.empty()) {
            EXPECT_NE(out.str().find(warning), std::string::npos) << out.str();
        }
    }
}

TEST_F(HostTest, LayoutsAreReadOnceAndAgainWhenChanged) {
    start();
    Connection* second = nullptr;
    add("cam2", &second);
    const std::string file = ::testing::TempDir() + "vesk_layout_test.vesk_ui";
    std::ofstream(file) << "control Tally text=0\n";
    const std::string load = "cmd=PS '1' '" + file + "'";
    component->parentRequest(load);
    second->parentRequest(load);
    EXPECT_EQ(host->layouts().reads(), 1);
    component->parentRequest("cmd=TP 'text=1' '1' 'Tally'");
    EXPECT_EQ(*second->findControl("Tally")->property("text"), "0");  // state of its own
    std::ofstream(file) << "control Tally text=0\ncontrol Legend text=x\n";
    second->parentRequest(load);
    EXPECT_EQ(host->layouts().reads(), 2);
    EXPECT_NE(second->findControl("Legend"), nullptr);
    // The same size, a later time: read again.
    const auto written = std::filesystem::last_write_time(file);
    std::ofstream(file) << "control Tally text=1\ncontrol Legend text=y\n";
    std::filesystem::last_write_time(file, written + std::chrono::seconds(2));
    second->parentRequest(load);
    EXPECT_EQ(*second->findControl("Legend")->property("text"), "y");
    component->parentRequest("cmd=PS '2' '" + ::testing::TempDir() + "'");  // a folder
    EXPECT_EQ(script->replies.back(), "<null>");
    std::remove(file.c_str());
}

TEST(FacilityScale, AnUpdateReachesOnlyItsSubscribers) {
    const char* module = std::getenv("VARNIK_MODULE");
    ASSERT_NE(module, nullptr);
    const int count = 1000;
    const std::string ini = newTemporaryFile("facility");
    {
        std::ofstream out(ini);
        out << "[instances.tally]\ndevice = 12\noffset = 1\ndrvtype = i\n";
        for (int k = 1; k <= count; ++k) {
            out << "[instances.cam" << k << "]\ndevice = 3\noffset = " << k << "\ndrvtype = g\n"
                << "[component.cam" << k << "]\nparam.setslot = tally\nparam.slotoffset = " << k - 1
                << "\nparam.tally_on = 1\nparam.tally_val = 1\nparam.instance = cam" << k << "\n";
        }
    }
    std::ostringstream out;
    TimelinePrinter printer(out, OutputMode::Quiet);
    Timeline timeline;
    timeline.addSink(&printer);
    SetupOptions options;
    options.pluginPath = module;
    options.panelsDir = VESK_HOST_TEST_PANELS;
    options.configPath = ini;
    options.capture = false;
    // Every component uses the same module, loaded once.
    ModuleSet modules;
    std::string error;
    bool fresh = false;
    const PluginModule* first = modules.load(module, error, fresh);
    EXPECT_TRUE(fresh);
    EXPECT_EQ(modules.load(module, error, fresh), first);
    EXPECT_FALSE(fresh);
    FacilitySetup setup(options, timeline, printer);
    Facility* facility = setup.facility();
    ASSERT_NE(facility, nullptr);
    ASSERT_EQ(facility->components().size(), static_cast<std::size_t>(count));
    facility->advance(500);  // every component registers its contact
    const std::uint64_t visited = facility->routing().visited();
    std::vector<std::uint64_t> delivered;
    for (const auto& component : facility->components()) {
        delivered.push_back(component->deliveredUpdates());
    }
    facility->forceGpi(3, 500, 1);
    EXPECT_EQ(facility->routing().visited() - visited, 1u);
    EXPECT_EQ(facility->infoText(12, 500), "1");
    for (int k = 0; k < count; ++k) {
        EXPECT_EQ(facility->components()[static_cast<std::size_t>(k)]->deliveredUpdates() -
                      delivered[static_cast<std::size_t>(k)],
                  k == 499 ? 1u : 0u);
    }
    facility->finish();
    EXPECT_EQ(timeline.failures() + timeline.warnings(), 0) << out.str();
    std::remove(ini.c_str());
}

TEST_F(HostTest, LargeInputsStayWithinBounds) {
    // Quadratic loading took minutes for this many controls; the test's
    // time limit (in CMake) catches a return to that.
    std::ostringstream file;
    const int controls = 200000;
    for (int i = 0; i < controls; ++i) file << "control c" << i << " text=" << i << "\n";
    std::istringstream in(file.str());
    std::vector<std::string> warnings;
    Layout layout = parseLayout(in, "big", warnings);
    ASSERT_EQ(layout.controls.size(), static_cast<std::size_t>(controls));
    EXPECT_EQ(*layout.find("C199999")->property("text"), "199999");

    start();
    timeline.removeSink(&printer);  // 150,000 events need no printing
    for (int id = 0; id < 50000; ++id) send("ET " + std::to_string(id) + " 1000");
    host->advance(1000);
    EXPECT_EQ(script->received.size(), 50000u);
    timeline.addSink(&printer);
    // The command log keeps a window; an expectation reaching past it says so.
    ScenarioRunner runner(*host, timeline);
    runner.runLine("expect sent ET 0 1000", 1);
    EXPECT_EQ(runner.failedExpectations(), 1);
    EXPECT_NE(out.str().find("keeps only the last 512 commands"), std::string::npos);
}

// A recorded action keeps the commands its components sent up to its
// limit, each as an expectation, and says how many more it left out.
TEST_F(HostTest, ARecordedActionKeepsItsCommandsUpToItsLimit) {
    start();
    Recorder recorder(*host, timeline);
    std::string error;
    ASSERT_TRUE(recorder.start(RecordingStart(), error)) << error;
    recorder.setRecording(true);
    // 1,024 bytes: the limit holds exactly `fit` of them.
    const std::string command = "IW 30 '" + std::string(1024 - 12, 'x') + "' 1 0";
    ASSERT_EQ(command.size(), 1024u);
    const std::size_t fit = Recorder::mostSentPerAction / command.size();
    ASSERT_EQ(fit * command.size(), Recorder::mostSentPerAction);
    std::string text;
    const auto record = [&](std::size_t count) {
        const std::size_t before = recorder.size();
        {
            Recorder::Action action(&recorder, "main", Recorder::paramStep("burst"));
            std::string commands;
            for (std::size_t i = 0; i < count; ++i) commands += (i == 0 ? "" : ";") + command;
            component->parentRequest("cmds=" + commands);
        }
        recorder.writeDone();
        text = recorder.read(before, recorder.size() - before);
        std::size_t expected = 0;
        for (std::size_t at = 0; (at = text.find("expect @main sent IW 30", at)) != std::string::npos;
             ++at) {
            ++expected;
        }
        return expected;
    };
    const std::string leftOut = " more commands were sent in this step than a recording keeps";
    EXPECT_EQ(record(fit), fit);
    EXPECT_EQ(text.find(leftOut), std::string::npos) << "all kept: nothing said";
    EXPECT_EQ(record(fit + 2), fit);
    EXPECT_NE(text.find("# 2" + leftOut), std::string::npos) << text.substr(text.size() - 300);
}

// A command log keeps exactly the newest `capacity` texts, whole and in
// order, whatever their lengths, however long it runs; with no capacity it
// only counts.
TEST(CommandLog, KeepsTheNewestWindowWhole) {
    for (const std::size_t capacity :
         {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{8}}) {
        BoundedLog log(capacity);
        std::vector<std::string> pushed;
        for (std::size_t n = 0; n < 7 * capacity + 3; ++n) {
            // Empty texts, short ones and long ones.
            pushed.push_back(
                std::string(n % 4 == 0 ? 0 : n * 37 % 300, static_cast<char>('a' + n % 26)));
            log.push(pushed.back());
            ASSERT_EQ(log.end(), pushed.size());
            const std::size_t kept = std::min(capacity, pushed.size());
            ASSERT_EQ(log.first(), pushed.size() - kept)
                << "capacity " << capacity << ", entry " << n;
            for (std::size_t k = log.first(); k < log.end(); ++k) {
                ASSERT_EQ(log.at(k), pushed[k])
                    << "capacity " << capacity << ", entry " << k << " after " << n;
            }
        }
        log.setCapacity(3);
        EXPECT_EQ(log.first(), log.end()) << "a new window starts empty";
        log.push("next");
        EXPECT_EQ(log.at(log.end() - 1), "next");
    }
}

#ifndef _WIN32
// Held across a burst of calls, the capture still gives each component its own words.
TEST(DiagnosticCaptureFile, AHoldAcrossCallsKeepsEachComponentsWords) {
    struct Words : TimelineSink {
        std::vector<std::string> said;
        void event(const Event& event) override {
            if (event.kind == EventKind::Diagnostic) said.push_back(event.component + ": " + event.text);
        }
    } words;
    Timeline timeline;
    timeline.addSink(&words);
    Facility facility(Environment(), timeline, true);
    ASSERT_TRUE(facility.captureProblem().empty()) << facility.captureProblem();
    Connection& first = facility.addComponent("first", makeFake, "panels", "fake");
    Connection& second = facility.addComponent("second", makeFake, "panels", "fake");
    ASSERT_TRUE(first.create());
    ASSERT_TRUE(second.create());
    struct stat before {}, during {}, after {};
    ASSERT_EQ(::fstat(2, &before), 0);
    {
        const Facility::DiagnosticsHeld held(facility);
        ASSERT_EQ(::fstat(2, &during), 0);
        first.parentRequest("say=from the first");
        second.parentRequest("say=from the second");
        first.parentRequest("say=the first again");
    }
    ASSERT_EQ(::fstat(2, &after), 0);
    EXPECT_NE(during.st_ino, before.st_ino) << "held: pointed at the capture";
    EXPECT_EQ(after.st_ino, before.st_ino) << "released: standard error again";
    EXPECT_EQ(words.said, (std::vector<std::string>{"first: from the first", "second: from the second",
                                               "first: the first again"}));
    facility.finish();
}

// Each call's diagnostics come back whole, also once the capture file has
// been emptied behind them (it is, now and then, not after every call).
TEST(DiagnosticCaptureFile, EveryCallGetsItsOwnTextAcrossTruncations) {
    DiagnosticCapture capture(true);
    ASSERT_TRUE(capture.active()) << capture.problem();
    const std::string line(40, 'd');
    std::size_t total = 0;
    for (int call = 0; total < 3 * DiagnosticCapture::truncateAfter; ++call) {
        const std::string message = std::to_string(call) + " " + line + "\n";
        capture.begin();
        ASSERT_EQ(::write(2, message.data(), message.size()), static_cast<ssize_t>(message.size()));
        // Standard error is the capture file during the call: what is
        // written there stays short.
        const off_t written = ::lseek(2, 0, SEEK_CUR);
        ASSERT_LT(written,
                  DiagnosticCapture::truncateAfter + static_cast<long long>(message.size()))
            << "call " << call;
        const std::string taken = capture.take();
        capture.end();
        ASSERT_EQ(taken, message) << "call " << call;
        total += message.size();
    }
    capture.begin();
    EXPECT_EQ(capture.take(), "") << "nothing left over";
    capture.end();
}

// Whatever a call writes comes back whole and once: a text that starts
// with a zero byte (not seen by the look at one byte, found when the
// capture ends), one that reaches or passes the mapped part of the file,
// and a text after each of them.
TEST(DiagnosticCaptureFile, AwkwardWritesComeBackWholeAndOnce) {
    const long long mapped = DiagnosticCapture::mappedLength;
    const struct {
        const char* name;
        long long skip;  // written first, and taken, to move the place where reading starts
        std::string text;
    } cases[] = {
        {"a zero first", 0, std::string(1, '\0') + "after a zero\n"},
        {"only zeros", 0, std::string(3, '\0')},
        {"ends at the mapped end", mapped - 100, std::string(100, 'e')},
        {"starts at the mapped end", mapped, "past the mapping\n"},
        {"runs past the mapped end", mapped - 10, std::string(40, 'r')},
        {"longer than the mapping", 0, std::string(static_cast<std::size_t>(mapped) + 4096, 'l')},
    };
    for (const auto& each : cases) {
        DiagnosticCapture capture(true);
        ASSERT_TRUE(capture.active()) << capture.problem();
        const auto write = [](const std::string& text) {
            std::size_t at = 0;
            while (at < text.size()) {
                const ssize_t put = ::write(2, text.data() + at, text.size() - at);
                ASSERT_GT(put, 0);
                at += static_cast<std::size_t>(put);
            }
        };
        // Taken as the facility takes it: only when the capture may hold something.
        const auto take = [&capture] {
            return capture.mayHaveWritten() ? capture.take() : std::string();
        };
        if (each.skip > 0) {
            capture.begin();
            write(std::string(static_cast<std::size_t>(each.skip), 's'));
            EXPECT_EQ(take().size(), static_cast<std::size_t>(each.skip)) << each.name;
            // Held open, as across a mixer's packet: nothing is emptied yet.
        } else {
            capture.begin();
        }
        write(each.text);
        std::string taken = take();
        capture.end();
        taken += take();
        EXPECT_EQ(taken, each.text) << each.name;
        capture.begin();
        write("next\n");
        EXPECT_EQ(take(), "next\n") << each.name;
        capture.end();
        EXPECT_FALSE(capture.mayHaveWritten()) << each.name << ": nothing twice";
        EXPECT_EQ(capture.take(), "") << each.name << ": nothing twice";
    }
}
#endif
