// Whole tally lives through the loaded module: instance, settings, ticks of
// the start-up timer, the poll and driver updates going on and off.
#include "component_fixture.h"

namespace {

TEST(ComponentCreation, ShowsItsPanelAndEndsWithAsOnly) {
    LoadedModule module;
    ASSERT_TRUE(module.loaded()) << module.error();
    struct Case {
        const char* panelPath;
        const char* panelShow;
    } cases[] = {
        {"panels", "PS '1' 'panels/varnik.vesk_ui'"},
        {"panels/", "PS '1' 'panels//varnik.vesk_ui'"},
        {"", "PS '1' 'varnik.vesk_ui'"},
        {nullptr, "PS '1' 'varnik.vesk_ui'"},
    };
    for (const Case& c : cases) {
        RecordingHost host;
        auto component = module.create(&host, c.panelPath);
        ASSERT_NE(component, nullptr);
        component.reset();
        EXPECT_EQ(host.commands, (Commands{c.panelShow, "AS"}));
    }
}

TEST(ComponentCreation, WithoutHostSendsNothingAndStillWorks) {
    LoadedModule module;
    ASSERT_TRUE(module.loaded()) << module.error();
    auto component = module.create(nullptr, "panels");
    ASSERT_NE(component, nullptr);
    CaptureDiagnostics();
    EXPECT_EQ(parentRequestText(*component, "instance=cam1"), "");
    const std::string diagnostics = GetCapturedDiagnostics();
    EXPECT_EQ(diagnostics, "Varnik - failed to find instance cam1\n");
    driverUpdateRecord record = makeDriverUpdate(0, 0, 0, "");
    EXPECT_EQ(component->notify(&record, VESK_NOTIFY_DRIVER_UPDATE), nullptr);
}

TEST(ComponentCreation, EachCallMakesAnIndependentComponent) {
    LoadedModule module;
    ASSERT_TRUE(module.loaded()) << module.error();
    RecordingHost host;
    host.reply("SD 'a'", "1 2");
    auto first = module.create(&host, "p");
    auto second = module.create(&host, "p");
    parentRequestText(*first, "tally_val=3");
    EXPECT_EQ(parentRequestText(*first, "return=all"),
              "monitoring=\nsetslot=\nslotoffset=\ntally_on=\ntally_val=3");
    EXPECT_EQ(parentRequestText(*second, "return=all"),
              "monitoring=\nsetslot=\nslotoffset=\ntally_on=\ntally_val=");
}

TEST_F(ComponentTest, GpiTallyLife) {
    EXPECT_EQ(request("instance=cam1"),
              (Commands{"SD 'cam1'", "TP 'text=GPI' '1' 'DeviceType'", "TP 'text=3' '1' 'SrcDev'",
                        "TP 'text=7' '1' 'SrcIndex'", "GR 3 7 7", "ET 1 500"}));
    EXPECT_EQ(tick(), Commands{});  // settings incomplete
    EXPECT_EQ(request("setslot=desk"), (Commands{"SD 'desk'", "TP 'text=17' '1' 'Addr'"}));
    EXPECT_EQ(request("slotoffset=3"), Commands{});
    EXPECT_EQ(request("tally_on=1"), Commands{"TP 'text=1' '1' 'AlarmTest'"});
    EXPECT_EQ(tick(), Commands{});
    EXPECT_EQ(request("tally_val=2"), Commands{});
    EXPECT_EQ(tick(), (Commands{"GR 3 7 7", "GP 3 7 7", "ET 1"}));

    // The poll's answer, then changes; the state decides, the text is not read.
    EXPECT_EQ(update(3, 7, 1, "ignored"), (Commands{"IW 12 '2' 20 0", "TP 'text=2' '1' 'Tally'"}));
    EXPECT_EQ(update(3, 7, 0, "1"), (Commands{"IW 12 '0' 20 0", "TP 'text=0' '1' 'Tally'"}));
    EXPECT_EQ(update(3, 7, 5), (Commands{"IW 12 '0' 20 0", "TP 'text=0' '1' 'Tally'"}));
    // A repeated state is written and shown again.
    EXPECT_EQ(update(3, 7, 1), (Commands{"IW 12 '2' 20 0", "TP 'text=2' '1' 'Tally'"}));
    EXPECT_EQ(update(3, 7, 1), (Commands{"IW 12 '2' 20 0", "TP 'text=2' '1' 'Tally'"}));
    // Other devices and inputs are dropped.
    EXPECT_EQ(update(3, 8, 1), Commands{});
    EXPECT_EQ(update(4, 7, 1), Commands{});

    // A later tick of timer 1 registers and polls again; other timers are stopped.
    EXPECT_EQ(tick(), (Commands{"GR 3 7 7", "GP 3 7 7", "ET 1"}));
    EXPECT_EQ(tick(2), Commands{"ET 2"});

    // Settings changed afterwards count at the next update, without a write of their own.
    EXPECT_EQ(request("tally_val=3"), Commands{});
    EXPECT_EQ(request("slotoffset=-17"), Commands{});
    EXPECT_EQ(update(3, 7, 1), (Commands{"IW 12 '3' 0 0", "TP 'text=3' '1' 'Tally'"}));

    host.clear();
    component.reset();
    EXPECT_EQ(host.commands, Commands{"AS"});  // no unregistration, no timer stop
}

TEST_F(ComponentTest, InfoTallyLife) {
    EXPECT_EQ(request("instance=vtr"),
              (Commands{"SD 'vtr'", "TP 'text=Info' '1' 'DeviceType'", "TP 'text=5' '1' 'SrcDev'",
                        "TP 'text=9' '1' 'SrcIndex'", "IR 5 9 9", "ET 1 500"}));
    request("tally_val=1");
    request("tally_on=PLAY");
    request("setslot=desk");
    EXPECT_EQ(tick(), (Commands{"IR 5 9 9", "IP 5 9 9", "ET 1"}));

    // The whole text decides, exactly; the state is not read.
    struct Case {
        const char* text;
        int state;
        const char* value;
    } cases[] = {
        {"PLAY", 0, "1"}, {"PLAY", 1, "1"}, {"play", 1, "0"},  {"PLAY ", 1, "0"},
        {" PLAY", 1, "0"}, {"PLAYING", 1, "0"}, {"", 1, "0"}, {"STOP", 1, "0"},
    };
    for (const Case& c : cases) {
        const std::string value = c.value;
        EXPECT_EQ(update(5, 9, c.state, c.text),
                  (Commands{"IW 12 '" + value + "' 17 0", "TP 'text=" + value + "' '1' 'Tally'"}))
            << "text \"" << c.text << "\"";
    }
}

// The worked example of a tally write: destination 12/17, offset 3, value "2".
TEST_F(ComponentTest, WritesTheTallyValueToTheOffsetSlotThenShowsIt) {
    configure("cam1");
    EXPECT_EQ(update(3, 7, 1), (Commands{"IW 12 '2' 20 0", "TP 'text=2' '1' 'Tally'"}));
    EXPECT_EQ(update(3, 7, 0), (Commands{"IW 12 '0' 20 0", "TP 'text=0' '1' 'Tally'"}));
}

TEST_F(ComponentTest, StartUpWaitsForEverySetting) {
    struct Case {
        const char* name;
        std::vector<const char*> requests;
        bool completes;
    } cases[] = {
        {"all", {"instance=cam1", "setslot=desk", "tally_on=1", "tally_val=2"}, true},
        {"reverse order", {"tally_val=2", "tally_on=1", "setslot=desk", "instance=cam1"}, true},
        {"no slotoffset needed", {"instance=vtr", "setslot=desk", "tally_on=x", "tally_val=3"}, true},
        {"no setslot", {"instance=cam1", "tally_on=1", "tally_val=2"}, false},
        {"no tally_on", {"instance=cam1", "setslot=desk", "tally_val=2"}, false},
        {"empty tally_on", {"instance=cam1", "setslot=desk", "tally_on=", "tally_val=2"}, false},
        {"no tally_val", {"instance=cam1", "setslot=desk", "tally_on=1"}, false},
        {"invalid tally_val", {"instance=cam1", "setslot=desk", "tally_on=1", "tally_val=4"}, false},
        {"source lookup failed", {"instance=nowhere", "setslot=desk", "tally_on=1", "tally_val=2"},
         false},
        {"destination lookup failed",
         {"instance=cam1", "setslot=nowhere", "tally_on=1", "tally_val=2"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingHost studio;
        studio.reply("SD 'cam1'", "3 7");
        studio.reply("SD 'vtr'", "5 9");
        studio.reply("SD 'desk'", "12 17");
        auto fresh = module.create(&studio, "panels");
        CaptureDiagnostics();
        for (const char* key : c.requests) requestOn(studio, *fresh, key);
        GetCapturedDiagnostics();
        // Ticks keep testing until every setting is present.
        const Commands first = tickOn(studio, *fresh);
        const Commands second = tickOn(studio, *fresh);
        if (c.completes) {
            EXPECT_EQ(first.size(), 3u);
            EXPECT_EQ(first.back(), "ET 1");
        } else {
            EXPECT_EQ(first, Commands{});
            EXPECT_EQ(second, Commands{});
        }
    }
}

TEST_F(ComponentTest, UpdatesBeforeStartUpUseTheSettingsOfThatMoment) {
    request("instance=cam1");
    // Without setslot the write goes to device 0 at the offset; without
    // tally_on, state 0 is on; without tally_val the on value is empty.
    EXPECT_EQ(update(3, 7, 0), (Commands{"IW 0 '' 0 0", "TP 'text=' '1' 'Tally'"}));
    EXPECT_EQ(update(3, 7, 1), (Commands{"IW 0 '0' 0 0", "TP 'text=0' '1' 'Tally'"}));
    request("slotoffset=4");
    request("tally_val=3");
    EXPECT_EQ(update(3, 7, 0), (Commands{"IW 0 '3' 4 0", "TP 'text=3' '1' 'Tally'"}));
}

TEST_F(ComponentTest, WithNoSourceAnUpdateForDeviceZeroIndexZeroMatches) {
    request("tally_val=1");
    EXPECT_EQ(update(0, 0, 0), (Commands{"IW 0 '1' 0 0", "TP 'text=1' '1' 'Tally'"}));
}

TEST_F(ComponentTest, GpiOnStateFollowsTallyOn) {
    struct Case {
        const char* tallyOn;
        int state;
        bool on;
    } cases[] = {
        {"0", 0, true}, {"0", 1, false}, {"1", 1, true},  {"1", 0, false}, {"5", 5, false},
        {"5", 1, true}, {"on", 1, true}, {"00", 1, true}, {"00", 0, false},
    };
    configure("cam1");
    for (const Case& c : cases) {
        request((std::string("tally_on=") + c.tallyOn).c_str());
        const Commands sent = update(3, 7, c.state);
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0], c.on ? "IW 12 '2' 20 0" : "IW 12 '0' 20 0")
            << "tally_on " << c.tallyOn << " state " << c.state;
    }
}

TEST_F(ComponentTest, InstanceChangeDropsTheOldSourceByItsKind) {
    request("instance=cam1");
    EXPECT_EQ(request("instance=vtr"),
              (Commands{"GU 3", "SD 'vtr'", "TP 'text=Info' '1' 'DeviceType'",
                        "TP 'text=5' '1' 'SrcDev'", "TP 'text=9' '1' 'SrcIndex'", "IR 5 9 9",
                        "ET 1 500"}));
    EXPECT_EQ(request("instance=cam2"),
              (Commands{"IU 5", "SD 'cam2'", "TP 'text=GPI' '1' 'DeviceType'",
                        "TP 'text=4' '1' 'SrcDev'", "TP 'text=2' '1' 'SrcIndex'", "GR 4 2 2",
                        "ET 1 500"}));
    // The same name again is no request at all.
    EXPECT_EQ(request("instance=cam2"), Commands{});
}

TEST_F(ComponentTest, FailedInstanceLookupDropsTheSource) {
    request("instance=cam1");
    CaptureDiagnostics();
    EXPECT_EQ(request("instance=ghost"),
              (Commands{"GU 3", "SD 'ghost'", "TP 'text=unknown' '1' 'deviceType'",
                        "TP 'text=0' '1' 'SrcDev'", "TP 'text=0' '1' 'SrcIndex'"}));
    EXPECT_EQ(GetCapturedDiagnostics(), "Varnik - failed to find instance ghost\n");
    // The source is gone: no unregistration next time, and the name is looked up again.
    CaptureDiagnostics();
    EXPECT_EQ(request("instance=ghost"),
              (Commands{"SD 'ghost'", "TP 'text=unknown' '1' 'deviceType'",
                        "TP 'text=0' '1' 'SrcDev'", "TP 'text=0' '1' 'SrcIndex'"}));
    GetCapturedDiagnostics();
    // srcIndex kept its value: an update for device 0, index 7 now matches.
    request("tally_val=1");
    EXPECT_EQ(update(0, 7, 1).size(), 2u);
    EXPECT_EQ(update(3, 7, 1), Commands{});
}

TEST_F(ComponentTest, LookupThatYieldsDeviceZeroRegistersNothingButStartsTheTimer) {
    host.reply("SD 'spare'", "0 4");
    EXPECT_EQ(request("instance=spare"),
              (Commands{"SD 'spare'", "TP 'text=Info' '1' 'DeviceType'", "TP 'text=0' '1' 'SrcDev'",
                        "TP 'text=4' '1' 'SrcIndex'", "ET 1 500"}));
    // No source is set, so the next change unregisters nothing; after a
    // failed lookup the earlier name still counts as unchanged.
    CaptureDiagnostics();
    EXPECT_EQ(request("instance=ghost").front(), "SD 'ghost'");
    EXPECT_EQ(request("instance=spare"), Commands{});
    GetCapturedDiagnostics();
}

TEST_F(ComponentTest, DriverTypeComesFromConfiguration) {
    struct Case {
        const char* drvtype;
        const char* shown;
        const char* message;
    } cases[] = {
        {"G", "GPI", ""},
        {"g", "GPI", ""},
        {"I", "Info", ""},
        {"i", "Info", ""},
        {"gpi", "Info", "Varnik invalid driver type gpi - will assume Infodriver\n"},
        {"", "Info", "Varnik invalid driver type  - will assume Infodriver\n"},
        {nullptr, "Info", "Varnik invalid driver type  - will assume Infodriver\n"},
    };
    host.reply("SD 'probe'", "8 1");
    for (const Case& c : cases) {
        // The file is read at each lookup, so a rewrite counts at once.
        config.rewrite(c.drvtype ? std::string("[instances.probe]\ndrvtype = ") + c.drvtype + "\n"
                                 : std::string("[instances.other]\ndrvtype = g\n"));
        CaptureDiagnostics();
        request("instance=ghost");  // drops the previous source, so probe is new again
        GetCapturedDiagnostics();
        CaptureDiagnostics();
        const Commands sent = request("instance=probe");
        EXPECT_EQ(GetCapturedDiagnostics(), c.message);
        ASSERT_GE(sent.size(), 2u);
        EXPECT_EQ(sent[1], std::string("TP 'text=") + c.shown + "' '1' 'DeviceType'");
    }
}

TEST_F(ComponentTest, SlotSumWrapsAroundInsteadOfOverflowing) {
    configure("cam1");
    request("slotoffset=2147483647");
    EXPECT_EQ(update(3, 7, 1).front(), "IW 12 '2' -2147483632 0");
    request("slotoffset=-2147483648");
    host.reply("SD 'low'", "12 -1");
    request("setslot=low");
    EXPECT_EQ(update(3, 7, 1).front(), "IW 12 '2' 2147483647 0");
}

}  // namespace
