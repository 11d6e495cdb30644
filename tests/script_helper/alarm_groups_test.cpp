// Group actions on the "alm_" controls: which control events are taken, and
// the commands each action sends per alarm control.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "portable.h"
#include "recording_host.h"
#include "test_script.h"

namespace {

using Texts = std::vector<std::string>;

std::string tp(const std::string& assignment, const std::string& control) {
    return "TP '" + assignment + "' '1' '" + control + "'";
}
std::string tg(const std::string& control) { return "TG '1' '" + control + "' 'value'"; }
const std::string xi = "XI '1' 'alm_'";

struct Event {
    const char* id;
    const char* name;
    const char* value;
};

struct AlarmCase {
    const char* what;
    bool alarmHandling;
    std::optional<Event> event;           // delivered as a control event ...
    std::optional<std::string> action;    // ... or alarmAction called directly
    std::optional<std::string> valueA;    // reply to TG of alm_A (nullopt: null reply)
    std::optional<std::string> valueB;    // reply to TG of alm_B
    bool reachesControlEvent;
    Texts commands;
};

// Every "ack"-like action: "alarm" first, then a read of "value", then, for
// the controls that need it, "value" set to 4.
Texts acknowledge(const std::string& action, bool writeA, bool writeB) {
    Texts commands{xi, tp("alarm=" + action, "alm_A"), tg("alm_A")};
    if (writeA) commands.push_back(tp("value=4", "alm_A"));
    commands.push_back(tp("alarm=" + action, "alm_B"));
    commands.push_back(tg("alm_B"));
    if (writeB) commands.push_back(tp("value=4", "alm_B"));
    return commands;
}

Texts levelled(const std::string& action, const std::string& level) {
    return {xi, tp("alarm=" + action, "alm_A"), tp("value=" + level, "alm_A"),
            tp("alarm=" + action, "alm_B"), tp("value=" + level, "alm_B")};
}

Texts alarmOnly(const std::string& action) {
    return {xi, tp("alarm=" + action, "alm_A"), tp("alarm=" + action, "alm_B")};
}

std::optional<std::string> reads(const std::string& value) { return "value=" + value; }

TEST(AlarmGroups, EventsAndActions) {
    const std::optional<std::string> one = reads("1");
    const std::optional<std::string> three = reads("3");
    const AlarmCase cases[] = {
        // Which events are group actions.
        {"handling off: ActionAll", false, Event{"ActionAll", "alarm", "2"}, {}, one, one, true, {}},
        {"handling off: AckAll", false, Event{"AckAll", "x", "y"}, {}, one, one, true, {}},
        {"ActionAll alarm", true, Event{"ActionAll", "alarm", "2"}, {}, one, one, false,
         levelled("2", "2")},
        {"ActionAll other name", true, Event{"ActionAll", "pressed", "2"}, {}, one, one, true, {}},
        {"ActionAll name case", true, Event{"ActionAll", "Alarm", "2"}, {}, one, one, true, {}},
        {"ActionAll id case", true, Event{"actionall", "alarm", "2"}, {}, one, one, true, {}},
        {"other control", true, Event{"alm_A", "alarm", "2"}, {}, one, one, true, {}},
        {"AckAll any name", true, Event{"AckAll", "pressed", "9"}, {}, one, three, false,
         acknowledge("4", true, false)},
        {"AckAll empty event", true, Event{"AckAll", "", ""}, {}, three, one, false,
         acknowledge("4", false, true)},
        {"AckAll name alarm", true, Event{"AckAll", "alarm", "2"}, {}, one, one, false,
         acknowledge("4", true, true)},
        {"ActionAll alarm ack", true, Event{"ActionAll", "alarm", "ack"}, {}, one, three, false,
         acknowledge("ack", true, false)},
        {"ActionAll alarm empty", true, Event{"ActionAll", "alarm", ""}, {}, one, one, false,
         alarmOnly("")},
        // Outcomes by action text.
        {"ack", true, {}, std::string("ack"), one, three, false, acknowledge("ack", true, false)},
        {"4", true, {}, std::string("4"), three, one, false, acknowledge("4", false, true)},
        {"2", true, {}, std::string("2"), one, one, false, levelled("2", "2")},
        {"0", true, {}, std::string("0"), one, one, false, levelled("0", "0")},
        {"9", true, {}, std::string("9"), one, one, false, levelled("9", "9")},
        {"x", true, {}, std::string("x"), one, one, false, levelled("x", "0")},
        {"-", true, {}, std::string("-"), one, one, false, levelled("-", "0")},
        {"empty", true, {}, std::string(""), one, one, false, alarmOnly("")},
        {"ACK", true, {}, std::string("ACK"), one, one, false, alarmOnly("ACK")},
        {"ack ", true, {}, std::string("ack "), one, one, false, alarmOnly("ack ")},
        {"44", true, {}, std::string("44"), one, one, false, alarmOnly("44")},
        {"long", true, {}, std::string("critical alarm"), one, one, false,
         alarmOnly("critical alarm")},
        // The value read back decides the second write on acknowledge.
        {"reads 0", true, {}, std::string("ack"), reads("0"), one, false, acknowledge("ack", false, true)},
        {"reads 2", true, {}, std::string("ack"), reads("2"), one, false, acknowledge("ack", false, true)},
        {"reads 4", true, {}, std::string("ack"), reads("4"), one, false, acknowledge("ack", false, true)},
        {"reads 5", true, {}, std::string("ack"), reads("5"), one, false, acknowledge("ack", false, true)},
        {"reads 6", true, {}, std::string("ack"), reads("6"), three, false, acknowledge("ack", true, false)},
        {"reads -1", true, {}, std::string("ack"), reads("-1"), three, false, acknowledge("ack", true, false)},
        {"reads 100", true, {}, std::string("ack"), reads("100"), three, false, acknowledge("ack", true, false)},
        {"reads empty", true, {}, std::string("ack"), reads(""), one, false, acknowledge("ack", false, true)},
        {"reads text", true, {}, std::string("ack"), reads("high"), one, false, acknowledge("ack", false, true)},
        {"reads 1 with space", true, {}, std::string("ack"), reads(" 1"), three, false, acknowledge("ack", true, false)},
        {"null reply", true, {}, std::string("ack"), std::nullopt, one, false, acknowledge("ack", false, true)},
        {"reply for another property", true, {}, std::string("ack"), std::string("Value=1"), one,
         false, acknowledge("ack", false, true)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingHost host;
        host.reply(xi, std::string("alm_A,alm_B"));
        host.reply(tg("alm_A"), c.valueA);
        host.reply(tg("alm_B"), c.valueB);
        host.replyPrefix("TP", std::string("ignored"));
        {
            TestScript script(&host, "p");
            script.setAlarmHandling(c.alarmHandling);
            CaptureDiagnostics();  // the mismatch message of one case
            if (c.event) {
                ControlEvent event(c.event->id, c.event->name, c.event->value);
                EXPECT_EQ(script.notify(event.record(), VESK_NOTIFY_CONTROL_EVENT), nullptr);
            } else {
                const vesk_string action(c.action->c_str());
                script.alarmAction(action);
                EXPECT_STREQ(action.c_str(), c.action->c_str());
            }
            GetCapturedDiagnostics();
            const Texts reached =
                c.reachesControlEvent
                    ? Texts{std::string("controlEvent ") + c.event->id + "|" + c.event->name + "|" +
                            c.event->value}
                    : Texts{};
            EXPECT_EQ(script.hooks, reached);
            EXPECT_EQ(host.commands, c.commands);
        }
        EXPECT_TRUE(host.violations().empty()) << testing::PrintToString(host.violations());
        EXPECT_EQ(host.outstandingReplies(), 0);
    }
}

TEST(AlarmGroups, NoControlsMeansOnlyTheListIsAsked) {
    for (const std::optional<std::string>& list : {std::optional<std::string>(),
                                                   std::optional<std::string>("")}) {
        RecordingHost host;
        host.reply(xi, list);
        TestScript script(&host, "p");
        script.setAlarmHandling(true);
        ControlEvent ack("AckAll", "x", "");
        script.notify(ack.record(), VESK_NOTIFY_CONTROL_EVENT);
        script.alarmAction("2");
        EXPECT_EQ(host.commands, (Texts{xi, xi}));
        EXPECT_TRUE(script.hooks.empty());
        EXPECT_TRUE(host.violations().empty());
        EXPECT_EQ(host.outstandingReplies(), 0);
    }
}

TEST(AlarmGroups, NoHostSendsNothing) {
    TestScript script(nullptr, "p");
    script.setAlarmHandling(true);
    ControlEvent ack("AckAll", "x", "");
    EXPECT_EQ(script.notify(ack.record(), VESK_NOTIFY_CONTROL_EVENT), nullptr);
    ControlEvent action("ActionAll", "alarm", "ack");
    EXPECT_EQ(script.notify(action.record(), VESK_NOTIFY_CONTROL_EVENT), nullptr);
    script.alarmAction("3");
    EXPECT_TRUE(script.hooks.empty());  // taken, even though nothing could be sent
}

}  // namespace
