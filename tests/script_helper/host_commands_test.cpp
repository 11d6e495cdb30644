// The command texts a script sends to its host, how replies are read and
// handed back, and the debugger output.
#include <gtest/gtest.h>

#include <cstdint>

#include <climits>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "portable.h"
#include "recording_host.h"
#include "test_script.h"

namespace {

using Texts = std::vector<std::string>;

// Every test ends by checking the reply rule: replies of TG, XI and SD are
// all handed back once, nothing else is.
class HostCommands : public testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(host.violations().empty()) << testing::PrintToString(host.violations());
        EXPECT_EQ(host.outstandingReplies(), 0);
    }
    RecordingHost host;
    TestScript script{&host, "/panels/tally"};
};

TEST_F(HostCommands, CommandTextsByteForByte) {
    // Replies for every command, so that a script reading or handing back
    // the wrong ones is caught by the host.
    host.replyPrefix("", std::string("ok"));
    const struct {
        std::function<void(TestScript&)> send;
        const char* text;
    } cases[] = {
        {[](TestScript& s) { s.textPut("text", "Cam 1", "1", "Legend"); },
         "TP 'text=Cam 1' '1' 'Legend'"},
        {[](TestScript& s) { s.textPut("text", "", "1", "Addr"); }, "TP 'text=' '1' 'Addr'"},
        {[](TestScript& s) { s.textPut("", "", "", ""); }, "TP '=' '' ''"},
        {[](TestScript& s) { s.textPut("text", "it's", "1", "Legend"); },
         "TP 'text=it's' '1' 'Legend'"},
        {[](TestScript& s) { s.textPut("text=unknown", "1", "deviceType"); },
         "TP 'text=unknown' '1' 'deviceType'"},
        {[](TestScript& s) { s.textPut("", "1", "X"); }, "TP '' '1' 'X'"},
        {[](TestScript& s) {
             vesk_string v;
             s.textGet("value", "1", "alm_1", v);
         },
         "TG '1' 'alm_1' 'value'"},
        {[](TestScript& s) { s.controlList("1", "alm_"); }, "XI '1' 'alm_'"},
        {[](TestScript& s) { s.controlList("o'k", ""); }, "XI 'o'k' ''"},
        {[](TestScript& s) { s.instanceLookup("cam 1", nullptr, nullptr); }, "SD 'cam 1'"},
        {[](TestScript& s) { s.instanceLookup("o'neil", nullptr, nullptr); }, "SD 'o'neil'"},
        {[](TestScript& s) { s.instanceLookup("%1%2", nullptr, nullptr); }, "SD '%1%2'"},
        {[](TestScript& s) { s.infoRegister(12, 17, 17, false); }, "IR 12 17 17"},
        {[](TestScript& s) { s.infoRegister(12, 1, 4, true); }, "IR 12 1 4 'ADD'"},
        {[](TestScript& s) { s.infoPoll(12, 17, 18); }, "IP 12 17 18"},
        {[](TestScript& s) { s.infoUnregister(12); }, "IU 12"},
        {[](TestScript& s) { s.infoWrite(12, "2", 20, false); }, "IW 12 '2' 20 0"},
        {[](TestScript& s) { s.infoWrite(12, "", -3, true); }, "IW 12 '' -3 1"},
        {[](TestScript& s) { s.infoWrite(0, "a 'b'", 0, false); }, "IW 0 'a 'b'' 0 0"},
        {[](TestScript& s) { s.gpiRegister(5, 2, 2, false); }, "GR 5 2 2"},
        {[](TestScript& s) { s.gpiRegister(5, 2, 3, true); }, "GR 5 2 3 'ADD'"},
        {[](TestScript& s) { s.gpiPoll(5, 2, 2); }, "GP 5 2 2"},
        {[](TestScript& s) { s.gpiUnregister(5); }, "GU 5"},
        {[](TestScript& s) { s.timerStart(1, 500); }, "ET 1 500"},
        {[](TestScript& s) { s.timerStart(3, -1); }, "ET 3 -1"},
        {[](TestScript& s) { s.timerStart(1, 0); }, "ET 1"},
        {[](TestScript& s) { s.timerStop(1); }, "ET 1"},
        {[](TestScript& s) { s.timerStop(-2); }, "ET -2"},
        // Extreme numbers are written whole, never cut.
        {[](TestScript& s) { s.infoRegister(INT_MIN, INT_MIN, INT_MIN, true); },
         "IR -2147483648 -2147483648 -2147483648 'ADD'"},
        {[](TestScript& s) { s.gpiRegister(INT_MIN, INT_MIN, INT_MIN, true); },
         "GR -2147483648 -2147483648 -2147483648 'ADD'"},
        {[](TestScript& s) { s.infoRegister(INT_MAX, INT_MAX, INT_MAX, false); },
         "IR 2147483647 2147483647 2147483647"},
        {[](TestScript& s) { s.infoPoll(INT_MIN, INT_MAX, INT_MIN); },
         "IP -2147483648 2147483647 -2147483648"},
        {[](TestScript& s) { s.gpiPoll(INT_MAX, INT_MIN, INT_MAX); },
         "GP 2147483647 -2147483648 2147483647"},
        {[](TestScript& s) { s.infoUnregister(INT_MIN); }, "IU -2147483648"},
        {[](TestScript& s) { s.gpiUnregister(INT_MAX); }, "GU 2147483647"},
        {[](TestScript& s) { s.timerStart(INT_MIN, INT_MIN); }, "ET -2147483648 -2147483648"},
        {[](TestScript& s) { s.timerStop(INT_MIN); }, "ET -2147483648"},
        {[](TestScript& s) { s.infoWrite(INT_MIN, "v", INT_MAX, true); },
         "IW -2147483648 'v' 2147483647 1"},
    };
    for (const auto& c : cases) {
        host.clear();
        CaptureDiagnostics();  // "ok" is no answer for TG
        c.send(script);
        GetCapturedDiagnostics();
        EXPECT_EQ(host.commands, Texts{c.text});
    }
    EXPECT_EQ(std::string("IR -2147483648 -2147483648 -2147483648 'ADD'").size(), 44u);
}

TEST_F(HostCommands, TimerStartWithIntervalZeroIsTimerStop) {
    script.timerStart(7, 0);
    script.timerStop(7);
    ASSERT_EQ(host.commands.size(), 2u);
    EXPECT_EQ(host.commands[0], host.commands[1]);
}

TEST(PanelShow, TextAndResult) {
    const std::optional<std::string> ok = std::string("");
    const struct {
        const char* panelPath;
        const char* extra;
        std::optional<std::string> reply;
        bool hasHost;
        const char* text;  // null: nothing sent
        bool result;
    } cases[] = {
        {"", "", ok, true, "PS '1' 'varnik.vesk_ui'", true},
        {nullptr, "", ok, true, "PS '1' 'varnik.vesk_ui'", true},
        {"/opt/panels", "", ok, true, "PS '1' '/opt/panels/varnik.vesk_ui'", true},
        {"/opt/panels/", "", ok, true, "PS '1' '/opt/panels//varnik.vesk_ui'", true},
        {"C:\\panels", "", ok, true, "PS '1' 'C:\\panels/varnik.vesk_ui'", true},
        {"/opt/panels", "x y", ok, true, "PS '1' '/opt/panels/varnik.vesk_ui' 'x y'", true},
        {"", "extra", ok, true, "PS '1' 'varnik.vesk_ui' 'extra'", true},
        {"p", "", std::string("loaded"), true, "PS '1' 'p/varnik.vesk_ui'", true},
        {"p", "", std::nullopt, true, "PS '1' 'p/varnik.vesk_ui'", false},
        {"p", "", std::nullopt, false, nullptr, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(no host)");
        RecordingHost host;
        host.replyPrefix("PS", c.reply);
        TestScript script(c.hasHost ? &host : nullptr, c.panelPath);
        EXPECT_EQ(script.panelShow("1", "varnik.vesk_ui", c.extra), c.result);
        EXPECT_EQ(host.commands, c.text ? Texts{c.text} : Texts{});
        EXPECT_TRUE(host.violations().empty());  // the PS reply is never handed back
    }
}

TEST_F(HostCommands, TextGetReadsTheNamedProperty) {
    const std::string mismatch =
        "textGet: value returned \"%L\" was not the value requested \"%P\" "
        "(value returned was \"%W\" from control \"alm_1\", on panel \"1\")";
    const struct {
        const char* property;
        std::optional<std::string> reply;
        const char* value;
        const char* left;  // null: no message
    } cases[] = {
        {"value", std::string("value=3"), "3", nullptr},
        {"value", std::string("value="), "", nullptr},
        {"value", std::string("value=a=b"), "a=b", nullptr},
        {"value", std::string("value= 7 "), " 7 ", nullptr},
        {"all", std::string("a=1 b=2"), "a=1 b=2", nullptr},
        {"all", std::string("no equals"), "no equals", nullptr},
        {"all", std::string(""), "", nullptr},
        {"value", std::nullopt, "", nullptr},
        {"value", std::string("Value=3"), "", "Value"},
        {"Value", std::string("value=3"), "", "value"},
        {"value", std::string("alarm=3"), "", "alarm"},
        // Without '=' the whole reply is the left part.
        {"value", std::string("value"), "", nullptr},
        {"value", std::string("level"), "", "level"},
        {"value", std::string(""), "", ""},
        {"value", std::string("=3"), "", ""},
        {"All", std::string("x=1"), "", "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.property) + " <- " + (c.reply ? *c.reply : "(null)"));
        const std::string command = std::string("TG '1' 'alm_1' '") + c.property + "'";
        host.reply(command, c.reply);
        host.clear();
        vesk_string value("stale");
        CaptureDiagnostics();
        script.textGet(c.property, "1", "alm_1", value);
        const std::string message = GetCapturedDiagnostics();
        EXPECT_STREQ(value.c_str(), c.value);
        EXPECT_EQ(host.commands, Texts{command});
        if (c.left == nullptr) {
            EXPECT_EQ(message, "");
        } else {
            std::string expected = mismatch;
            expected.replace(expected.find("%W"), 2, *c.reply);
            expected.replace(expected.find("%P"), 2, c.property);
            expected.replace(expected.find("%L"), 2, c.left);
            EXPECT_EQ(message, expected);  // no line break at the end
        }
    }
}

TEST_F(HostCommands, ControlListSplitsAtCommas) {
    const struct {
        std::optional<std::string> reply;
        Texts items;
    } cases[] = {
        {std::nullopt, {}},
        {std::string(""), {}},
        {std::string("alm_1"), {"alm_1"}},
        {std::string("alm_1,alm_2,alm_3"), {"alm_1", "alm_2", "alm_3"}},
        {std::string("alm_1,,alm_3"), {"alm_1", "", "alm_3"}},
        {std::string("alm 1, alm_2"), {"alm 1", " alm_2"}},
    };
    for (const auto& c : cases) {
        host.reply("XI '1' 'alm_'", c.reply);
        host.clear();
        const vesk_stringlist list = script.controlList("1", "alm_");
        Texts items;
        for (const vesk_string& item : list) items.push_back(item.c_str());
        EXPECT_EQ(items, c.items) << (c.reply ? *c.reply : "(null)");
        EXPECT_EQ(host.commands, Texts{"XI '1' 'alm_'"});
    }
}

TEST_F(HostCommands, InstanceLookupReadsDeviceAndOffset) {
    const struct {
        std::optional<std::string> reply;
        bool found;
        int device;
        int offset;
    } cases[] = {
        {std::string("12 5"), true, 12, 5},
        {std::string("12"), true, 12, 0},
        {std::string("12 5 99"), true, 12, 5},
        {std::string(""), true, 0, 0},
        {std::string(" "), true, 0, 0},
        {std::nullopt, false, 0, 0},
        {std::string("'12' 5"), true, 0, 12},
        {std::string(" 12 5"), true, 0, 12},
        {std::string("-3 +4"), true, -3, 4},
        {std::string("12abc 7x"), true, 12, 7},
        {std::string("abc def"), true, 0, 0},
        {std::string("  12"), true, 0, 12},
        {std::string("99999999999 -99999999999"), true, INT_MAX, INT_MIN},
        {std::string("2147483647 -2147483648"), true, INT_MAX, INT_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply ? "\"" + *c.reply + "\"" : "(null)");
        host.reply("SD 'cam1'", c.reply);
        int device = 77;
        int offset = 77;
        EXPECT_EQ(script.instanceLookup("cam1", &device, &offset), c.found);
        EXPECT_EQ(device, c.device);
        EXPECT_EQ(offset, c.offset);

        // Either out-pointer may be missing; the other is still set.
        int only = 77;
        EXPECT_EQ(script.instanceLookup("cam1", &only, nullptr), c.found);
        EXPECT_EQ(only, c.device);
        only = 77;
        EXPECT_EQ(script.instanceLookup("cam1", nullptr, &only), c.found);
        EXPECT_EQ(only, c.offset);
        EXPECT_EQ(script.instanceLookup("cam1", nullptr, nullptr), c.found);
    }
    EXPECT_EQ(host.commands.size(), 4u * 14u);
}

TEST_F(HostCommands, InfoWriteWarnsAboutLongTextsAndSendsThemWhole) {
    const std::string warning = "The IW string is too long (max 256 chars)\n";
    const struct {
        int length;
        bool warns;
    } cases[] = {{0, false}, {255, false}, {256, false}, {257, true}, {1000, true}};
    for (const auto& c : cases) {
        const std::string text(static_cast<size_t>(c.length), 'v');
        host.clear();
        CaptureDiagnostics();
        script.infoWrite(3, text.c_str(), 4, false);
        EXPECT_EQ(GetCapturedDiagnostics(), c.warns ? warning : "") << c.length;
        EXPECT_EQ(host.commands, Texts{"IW 3 '" + text + "' 4 0"}) << c.length;
    }
    // The longest numbers with a text that fills the built-in buffer exactly,
    // and one character more, which moves the command to the heap.
    for (const int length : {480, 481}) {
        const std::string text(static_cast<size_t>(length), 'x');
        host.clear();
        script.infoWrite(INT32_MIN, text.c_str(), INT32_MIN, false);
        EXPECT_EQ(host.commands, Texts{"IW -2147483648 '" + text + "' -2147483648 0"}) << length;
    }
}

TEST_F(HostCommands, DebugOutputIsWrittenUnchanged) {
    CaptureDiagnostics();
    script.debugPrint("Varnik - failed to find instance cam1\n");
    EXPECT_EQ(GetCapturedDiagnostics(), "Varnik - failed to find instance cam1\n");

    CaptureDiagnostics();
    script.debugPrint("no line break");
    EXPECT_EQ(GetCapturedDiagnostics(), "no line break");

    const struct {
        const char* format;
        const char* output;
    } cases[] = {
        {"%1 %2 %3", "a b c"},
        {"%2-%1", "b-a"},    // the lowest placeholder takes the first argument
        {"%3 %5", "a b"},    // gaps are closed up
        {"%9%1", "ba"},
        {"plain", "plain"},
        {"%1%1", "aa"},
        {"100%", "100%"},
    };
    for (const auto& c : cases) {
        CaptureDiagnostics();
        script.debugFormat(c.format, "a", "b", "c");
        EXPECT_EQ(GetCapturedDiagnostics(), c.output) << c.format;
    }
    EXPECT_TRUE(host.commands.empty());
}

TEST(NoHost, NothingIsSentAndResultsAreAsWithoutReply) {
    TestScript script(nullptr, "p");
    EXPECT_TRUE(script.panelShow("1", "varnik.vesk_ui", ""));
    vesk_string value("stale");
    script.textGet("value", "1", "alm_1", value);
    EXPECT_STREQ(value.c_str(), "");
    script.textGet("all", "1", "alm_1", value);
    EXPECT_STREQ(value.c_str(), "");
    EXPECT_EQ(script.controlList("1", "alm_").count(), 0);
    int device = 5;
    int offset = 6;
    EXPECT_FALSE(script.instanceLookup("cam1", &device, &offset));
    EXPECT_EQ(device, 0);
    EXPECT_EQ(offset, 0);
    EXPECT_FALSE(script.instanceLookup("cam1", nullptr, nullptr));
    // Commands whose reply is ignored simply do nothing.
    script.textPut("text", "1", "1", "Tally");
    script.textPut("text=1", "1", "Tally");
    script.infoRegister(1, 2, 3, true);
    script.infoPoll(1, 2, 3);
    script.infoUnregister(1);
    script.gpiRegister(1, 2, 3, false);
    script.gpiPoll(1, 2, 3);
    script.gpiUnregister(1);
    script.timerStart(1, 500);
    script.timerStop(1);
    // The diagnostics do not need a host.
    CaptureDiagnostics();
    script.infoWrite(1, std::string(257, 'x').c_str(), 2, false);
    EXPECT_EQ(GetCapturedDiagnostics(), "The IW string is too long (max 256 chars)\n");
}

}  // namespace
