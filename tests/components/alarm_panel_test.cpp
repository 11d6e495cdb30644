// The alarm panel on the kit's recording fake host (vesk_test_host.h): which
// commands register its points, how a source's change sets a level, and what
// the group controls leave to the framework.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AlarmPanel.h"
#include "portable.h"
#include "vesk_test_host.h"

namespace {

// Instances: two contacts on GPI device 5, a status text on info device 30,
// the beacon slot 12.40, and one at device 0.
class AlarmPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        config = newTemporaryFile("alarm_panel");
        std::ofstream(config) << "[instances.ups]\ndrvtype = g\n"
                                 "[instances.aircon]\ndrvtype = g\n"
                                 "[instances.txlink]\ndrvtype = i\n";
        setTestEnvironment("VESK_CONFIG", config.c_str());
        host.reply("SD 'ups'", "5 1");
        host.reply("SD 'aircon'", "5 2");
        host.reply("SD 'txlink'", "30 1");
        host.reply("SD 'beacon'", "12 40");
        host.reply("SD 'nowhere'", "0 0");
        panel = std::make_unique<AlarmPanel>(&host, "");
    }
    void TearDown() override {
        panel.reset();
        EXPECT_TRUE(host.violations().empty()) << host.violations().front();
        setTestEnvironment("VESK_CONFIG", nullptr);
        std::remove(config.c_str());
    }
    // What the host's "alm_N" control reads when the panel asks for its level.
    void levelReads(int point, const char* level) {
        host.reply("TG '1' 'alm_" + std::to_string(point) + "' 'value'",
                   std::string("value=") + level);
    }
    std::vector<std::string> sent(const std::string& key) {
        host.clear();
        vesk_test::param(*panel, key);
        return host.commands;
    }

    std::string config;
    vesk_test_host host;
    std::unique_ptr<AlarmPanel> panel;
};

TEST_F(AlarmPanelTest, ShowsItsPanelAndTakesTheGroupActions) {
    EXPECT_TRUE(host.sent("PS '1' 'alarm_panel.vesk_ui'"));
    // AckAll reaches the framework: it lists the alarm controls, not the panel's hook.
    host.clear();
    vesk_test::event(*panel, "AckAll", "click", "");
    EXPECT_EQ(host.commands, std::vector<std::string>{"XI '1' 'alm_'"});
}

TEST_F(AlarmPanelTest, SeveralInputsOfOneDeviceAreAddedAndRegisteredAgainWhenOneLeaves) {
    const struct {
        const char* key;
        std::vector<std::string> registrations;  // GR, GU, IR and IU sent, in order
    } steps[] = {
        {"alarm1=ups", {"GR 5 1 1"}},
        {"alarm2=aircon", {"GR 5 2 2 'ADD'"}},       // the device's first range stays
        {"alarm3=txlink", {"IR 30 1 1"}},            // another driver: a range of its own
        {"alarm4=ups", {"GR 5 1 1 'ADD'"}},
        {"alarm2=", {"GU 5", "GR 5 1 1", "GR 5 1 1 'ADD'"}},  // GU drops all of device 5
        {"alarm3=nowhere", {"IU 30"}},               // device 0: no source, no registration
        {"alarm1=txlink", {"GU 5", "GR 5 1 1", "IR 30 1 1"}},
    };
    for (const auto& step : steps) {
        std::vector<std::string> registrations;
        for (const std::string& command : sent(step.key)) {
            const std::string word = command.substr(0, 2);
            if (word == "GR" || word == "GU" || word == "IR" || word == "IU") {
                registrations.push_back(command);
            }
        }
        EXPECT_EQ(registrations, step.registrations) << step.key;
    }
}

TEST_F(AlarmPanelTest, ASourceSetsTheLevelUnlessTheControlIsInhibitedOrAlreadyInAlarm) {
    vesk_test::param(*panel, "alarm1=ups");
    vesk_test::param(*panel, "alarm_on=FAIL");
    vesk_test::param(*panel, "alarm3=txlink");
    const struct {
        int point;           // 1: the GPI contact, 3: the info slot
        const char* report;  // GPI state or info text
        const char* reads;   // the control's level before
        const char* level;   // the level written; null: none
    } cases[] = {
        {1, "1", "0", "1"},        // raised
        {1, "1", "1", nullptr},    // the same state again: nothing
        {1, "0", "4", "0"},        // acknowledged, then back to normal
        {1, "3", "0", "1"},        // any closed state is an alarm
        {1, "0", "5", nullptr},    // inhibited: left alone
        {1, "1", "4", nullptr},    // acknowledged alarms stay acknowledged
        {3, "FAIL", "0", "1"},     // the info text alarm_on names
        {3, "fail", "1", "0"},     // texts match exactly
        {3, "FAIL", "2", "1"},     // a warning level becomes an alarm
    };
    for (const auto& c : cases) {
        levelReads(c.point, c.reads);
        host.clear();
        if (c.point == 1) {
            vesk_test::gpi(*panel, 5, 1, std::stoi(c.report));
        } else {
            vesk_test::info(*panel, 30, 1, c.report);
        }
        const auto written = host.lastControlText("alm_" + std::to_string(c.point), "value");
        const std::string what = std::to_string(c.point) + " " + c.report + " reading " + c.reads;
        if (c.level == nullptr) {
            EXPECT_FALSE(written) << what;
        } else {
            EXPECT_EQ(written, std::string(c.level)) << what;
        }
    }
    // Updates of inputs no point watches change nothing.
    host.clear();
    vesk_test::gpi(*panel, 5, 2, 1);
    vesk_test::info(*panel, 31, 1, "FAIL");
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(AlarmPanelTest, TheSummaryCountsPointsInAlarmAndLightsTheBeacon) {
    vesk_test::param(*panel, "alarm1=ups");
    vesk_test::param(*panel, "alarm2=aircon");
    EXPECT_EQ(sent("summary=beacon"),
              (std::vector<std::string>{"SD 'beacon'", "TP 'text=0 in alarm' '1' 'Summary'",
                                        "IW 12 '0' 40 0"}));
    levelReads(1, "0");
    levelReads(2, "0");
    host.clear();
    vesk_test::gpi(*panel, 5, 1, 1);
    EXPECT_TRUE(host.sent("IW 12 '1' 40 0"));
    host.clear();
    vesk_test::gpi(*panel, 5, 2, 1);
    EXPECT_EQ(host.lastControlText("Summary"), std::string("2 in alarm"));
    EXPECT_FALSE(host.sent("IW 12 '1' 40 0")) << "the beacon is already lit";
    host.clear();
    vesk_test::gpi(*panel, 5, 1, 0);
    vesk_test::gpi(*panel, 5, 2, 0);
    EXPECT_TRUE(host.sent("IW 12 '0' 40 0"));
    EXPECT_EQ(host.lastControlText("Summary"), std::string("0 in alarm"));
}

TEST_F(AlarmPanelTest, OnePointIsAcknowledgedFromItsOwnControl) {
    vesk_test::param(*panel, "alarm1=ups");
    const struct {
        const char* control;
        const char* name;
        const char* reads;
        bool acknowledged;
    } cases[] = {
        {"alm_1", "ack", "1", true},
        {"alm_1", "ack", "4", false},
        {"alm_1", "ack", "0", false},
        {"alm_1", "click", "1", false},
        {"alm_2", "ack", "1", true},  // a point with no source is acknowledged too
    };
    for (const auto& c : cases) {
        levelReads(c.control[4] - '0', c.reads);
        host.clear();
        vesk_test::event(*panel, c.control, c.name, "");
        EXPECT_EQ(host.lastControlText(c.control, "value") == std::string("4"), c.acknowledged)
            << c.control << " " << c.name << " reading " << c.reads;
    }
}

TEST_F(AlarmPanelTest, AMissingSourceIsAFaultOfItsPoint) {
    vesk_test::param(*panel, "alarm2=nowhere");
    EXPECT_EQ(host.lastControlText("alm_2", "value"), std::string("3"));
    EXPECT_EQ(host.lastControlText("alm_2"), std::string("nowhere"));
    vesk_test::param(*panel, "label2=Generator");
    EXPECT_EQ(host.lastControlText("alm_2"), std::string("Generator"));
    EXPECT_EQ(vesk_test::param(*panel, "return=all"),
              std::string("alarm1=\nlabel1=\nalarm2=nowhere\nlabel2=Generator\nalarm3=\nlabel3=\n"
                          "alarm4=\nlabel4=\nalarm_on=ALARM\nsummary="));
}

}  // namespace
