// Hostile input at the host boundary: every row names what a host (or a
// parent panel, or a driver) hands the plug-in and the outcome the plug-in
// must show instead of a crash: ignored, an empty text, or a clear
// diagnostic. Every test also checks the reply rule through RecordingHost.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Varnik.h"
#include "portable.h"
#include "recording_host.h"

namespace {

using Commands = std::vector<std::string>;

class HostileInput : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(host.violations().empty()) << host.violations().front();
        EXPECT_EQ(host.outstandingReplies(), 0);
    }

    // A component with an info source (device 12, index 5) and a destination
    // (device 30, slot 17), tally_on "ON", tally_val "2"; commands cleared.
    static void configure(RecordingHost& to, Varnik& component) {
        to.reply("SD 'SRC'", std::string("12 5"));
        to.reply("SD 'DST'", std::string("30 17"));
        sendParentRequest(component, "instance=SRC");
        sendParentRequest(component, "setslot=DST");
        sendParentRequest(component, "tally_on=ON");
        sendParentRequest(component, "tally_val=2");
        to.clear();
    }

    RecordingHost host;
};

// A script with the alarm-group handling on; counts the events it gets.
class AlarmScript : public vesk_script_helper {
public:
    explicit AlarmScript(vesk_client_callback* h) : vesk_script_helper(h, "") { alarmHandling = true; }
    void controlEvent(controlEventView*) override { ++events; }
    int driverUpdate(driverUpdateView*) override { return 0; }
    vesk_string parentRequest(parentRequestView*) override { return vesk_string(); }
    void timerEvent(int) override {}
    int events = 0;
};

// --- Null data -------------------------------------------------------------

struct NullDataCase {
    int type;
    Commands expected;  // sent by the component in answer
};

TEST_F(HostileInput, NullDataForEveryNotificationTypeIsSurvived) {
    const NullDataCase cases[] = {
        {VESK_NOTIFY_COMMAND, {}},
        {VESK_NOTIFY_DRIVER_UPDATE, {}},   // ignored: no record to read
        {VESK_NOTIFY_CONTROL_EVENT, {}},   // ignored
        {VESK_NOTIFY_PARENT_REQUEST, {}},  // empty name and value: no effect
        {VESK_NOTIFY_TIMER, {"ET 0"}},     // a tick of timer 0, which is not ours
        {VESK_NOTIFY_RELEASE, {}},         // nothing to free
        {VESK_NOTIFY_TYPE6, {}},
        {VESK_NOTIFY_TYPE7, {}},
        {8, {}},
        {-1, {}},
        {INT_MIN, {}},
        {INT_MAX, {}},
    };
    Varnik component(&host, "");
    configure(host, component);
    for (const NullDataCase& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        host.clear();
        EXPECT_EQ(component.notify(nullptr, c.type), nullptr);
        EXPECT_EQ(host.commands, c.expected);
    }
    // The settings survived all of it.
    EXPECT_EQ(parentRequestText(component, "return=all"),
              "monitoring=\nsetslot=DST\nslotoffset=\ntally_on=ON\ntally_val=2");
}

TEST_F(HostileInput, NullPointersInsideAControlEventReadAsEmpty) {
    AlarmScript script(&host);
    decodedKeyRecord key{};  // every pointer null
    controlEventRecord record{};
    record.key = &key;
    script.notify(&record, VESK_NOTIFY_CONTROL_EVENT);  // null id, null name, null value
    record.key = nullptr;
    script.notify(&record, VESK_NOTIFY_CONTROL_EVENT);  // null key
    EXPECT_EQ(script.events, 2);
    EXPECT_TRUE(host.commands.empty());

    // A group action needs no key: "AckAll" with a null key is still taken.
    const std::string ackAll = "AckAll";
    record.id = ackAll.c_str();
    script.notify(&record, VESK_NOTIFY_CONTROL_EVENT);
    EXPECT_EQ(script.events, 2);
    EXPECT_EQ(host.commands, Commands{"XI '1' 'alm_'"});
}

// --- Oversized and malformed keys ------------------------------------------

TEST_F(HostileInput, OneMegabyteKeyTextsGoThroughWhole) {
    const std::string big(1 << 20, 'm');
    Varnik component(&host, "");
    host.clear();

    EXPECT_EQ(sendParentRequest(component, ("monitoring=" + big).c_str()), nullptr);
    ASSERT_EQ(host.commands.size(), 1u);
    EXPECT_EQ(host.commands[0], "TP 'text=" + big + "' '1' 'Legend'");

    host.clear();
    EXPECT_EQ(sendParentRequest(component, ("instance=" + big).c_str()), nullptr);
    ASSERT_FALSE(host.commands.empty());
    EXPECT_EQ(host.commands[0], "SD '" + big + "'");  // the unknown name is looked up once

    // A name of 1 MB matches no parameter: ignored.
    host.clear();
    EXPECT_EQ(sendParentRequest(component, big.c_str()), nullptr);
    EXPECT_TRUE(host.commands.empty());

    const std::string listing = parentRequestText(component, "return=all");
    EXPECT_EQ(listing.substr(0, 11 + big.size() + 1), "monitoring=" + big + "\n");
}

struct KeyCase {
    const char* what;
    std::string key;
    const char* listedTallyVal;  // tally_val in the listing afterwards
};

std::string withParts(const char* name, int parts, const char* tail) {
    std::string key = name;
    for (int i = 0; i < parts; ++i) key += ".p";
    return key + tail;
}

TEST_F(HostileInput, KeysWithManyPartsKeepTheirValueOnlyWithinThePartLimit) {
    const KeyCase cases[] = {
        {"31 parts: the value is read", withParts("tally_val", 31, "=3"), "3"},
        {"32 parts: '=' is part of the last part, no value", withParts("tally_val", 32, "=3"), ""},
        {"40 parts: no value", withParts("tally_val", 40, "=3"), ""},
        {"40 empty parts: no value", "tally_val" + std::string(40, '.') + "=3", ""},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.what);
        Varnik component(nullptr, "");
        EXPECT_EQ(sendParentRequest(component, c.key.c_str()), nullptr);
        const std::string listing = parentRequestText(component, "return=all");
        EXPECT_EQ(listing.substr(listing.rfind('\n') + 1), std::string("tally_val=") + c.listedTallyVal);
    }
}

// --- Hostile replies to SD ---------------------------------------------------

struct LookupCase {
    const char* what;
    std::string reply;
    Commands expected;  // after the SD command
};

Commands shown(const std::string& device, const std::string& index) {
    return {"TP 'text=Info' '1' 'DeviceType'", "TP 'text=" + device + "' '1' 'SrcDev'",
            "TP 'text=" + index + "' '1' 'SrcIndex'"};
}

Commands plus(Commands head, const Commands& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(HostileInput, InstanceRepliesWithHugeNegativeOrBrokenNumbers) {
    std::string thousand;
    for (int i = 1; i <= 1000; ++i) thousand += std::to_string(i) + " ";
    const LookupCase cases[] = {
        {"too large: clamped", "99999999999999999999 5",
         plus(shown("2147483647", "5"), {"IR 2147483647 5 5", "ET 1 500"})},
        {"too small: clamped", "-99999999999999999999 -1",
         plus(shown("-2147483648", "-1"), {"IR -2147483648 -1 -1", "ET 1 500"})},
        {"the extremes", "-2147483648 2147483647",
         plus(shown("-2147483648", "2147483647"), {"IR -2147483648 2147483647 2147483647", "ET 1 500"})},
        {"negative numbers register", "-5 -7", plus(shown("-5", "-7"), {"IR -5 -7 -7", "ET 1 500"})},
        {"signs and trailing junk", "+12abc 5x", plus(shown("12", "5"), {"IR 12 5 5", "ET 1 500"})},
        {"words: device 0, nothing registered", "abc def", plus(shown("0", "0"), {"ET 1 500"})},
        {"empty reply: found, device 0", "", plus(shown("0", "0"), {"ET 1 500"})},
        {"leading space: token 0 is empty", " 12 5", plus(shown("0", "12"), {"ET 1 500"})},
        {"lone apostrophe", "'", plus(shown("0", "0"), {"ET 1 500"})},
        {"1000 tokens: the first two count", thousand, plus(shown("1", "2"), {"IR 1 2 2", "ET 1 500"})},
        {"one token", "7", plus(shown("7", "0"), {"ET 1 500"})},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingHost lookups;
        lookups.reply("SD 'X'", c.reply);
        {
            Varnik component(&lookups, "");
            lookups.clear();
            sendParentRequest(component, "instance=X");
            EXPECT_EQ(lookups.commands, plus({"SD 'X'"}, c.expected));
        }
        EXPECT_TRUE(lookups.violations().empty());
        EXPECT_EQ(lookups.outstandingReplies(), 0);
        EXPECT_EQ(lookups.releasedCount(), 1);  // the one reply, handed back once
    }
}

TEST_F(HostileInput, OneMegabyteReplyToALookupIsReadAndHandedBack) {
    host.reply("SD 'X'", "3 4 " + std::string(1 << 20, 'z'));
    Varnik component(&host, "");
    sendParentRequest(component, "instance=X");
    EXPECT_EQ(host.releasedCount(), 1);
    EXPECT_EQ(host.commands.back(), "ET 1 500");
}

// --- Hostile replies to TG ---------------------------------------------------

struct ValueReplyCase {
    const char* what;
    std::optional<std::string> reply;
    bool rewritten;   // "value" set to "4"
    bool diagnostic;  // the mismatch message written
};

TEST_F(HostileInput, ValueRepliesWithoutEqualsGiveAnEmptyValueAndADiagnostic) {
    const ValueReplyCase cases[] = {
        {"a number without '='", std::string("1"), false, true},
        {"the property without '='", std::string("value"), false, false},
        {"empty reply", std::string(""), false, true},
        {"empty property", std::string("=1"), false, true},
        {"other letter case", std::string("Value=1"), false, true},
        {"null reply", std::nullopt, false, false},
        {"well formed, level 1", std::string("value=1"), true, false},
        {"well formed, huge level", std::string("value=99999999999999999999"), true, false},
        {"well formed, negative level", std::string("value=-2147483648"), true, false},
    };
    for (const ValueReplyCase& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingHost alarms;
        alarms.reply("XI '1' 'alm_'", std::string("alm_1"));
        alarms.reply("TG '1' 'alm_1' 'value'", c.reply);
        {
            AlarmScript script(&alarms);
            ControlEvent ack("AckAll", "x", "y");
            CaptureDiagnostics();
            script.notify(ack.record(), VESK_NOTIFY_CONTROL_EVENT);
            const std::string diagnostics = GetCapturedDiagnostics();
            Commands expected = {"XI '1' 'alm_'", "TP 'alarm=4' '1' 'alm_1'", "TG '1' 'alm_1' 'value'"};
            if (c.rewritten) expected.push_back("TP 'value=4' '1' 'alm_1'");
            EXPECT_EQ(alarms.commands, expected);
            EXPECT_EQ(diagnostics.find("textGet: value returned") != std::string::npos, c.diagnostic)
                << diagnostics;
        }
        EXPECT_TRUE(alarms.violations().empty());
        EXPECT_EQ(alarms.outstandingReplies(), 0);
    }
}

TEST_F(HostileInput, ControlListsOfEmptyOrManyEntries) {
    std::string many;
    for (int i = 0; i < 1000; ++i) many += (i ? "," : "") + std::string("alm_") + std::to_string(i);
    const struct {
        const char* what;
        std::string reply;
        std::size_t controls;
    } cases[] = {{"only commas", ",,,", 4}, {"1000 controls", many, 1000}, {"empty", "", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingHost alarms;
        alarms.reply("XI '1' 'alm_'", c.reply);
        {
            AlarmScript script(&alarms);
            ControlEvent action("ActionAll", "alarm", "7");
            script.notify(action.record(), VESK_NOTIFY_CONTROL_EVENT);
            // Per control: "alarm" and the one-character level.
            EXPECT_EQ(alarms.commands.size(), 1 + 2 * c.controls);
        }
        EXPECT_TRUE(alarms.violations().empty());
        EXPECT_EQ(alarms.outstandingReplies(), 0);
    }
}

// --- Driver updates ------------------------------------------------------------

struct UpdateTextCase {
    const char* what;
    std::size_t onLength;     // length of tally_on, all 'x'
    std::size_t recordFill;   // bytes of 'x' in the record, no NUL when full
    const char* written;
};

TEST_F(HostileInput, UnterminatedRecordTextsAreReadUpToTheirCapacity) {
    const UpdateTextCase cases[] = {
        {"full, unterminated, equal", VESK_DRIVER_TEXT_CAPACITY, VESK_DRIVER_TEXT_CAPACITY, "2"},
        {"full, unterminated, longer than tally_on", VESK_DRIVER_TEXT_CAPACITY - 1,
         VESK_DRIVER_TEXT_CAPACITY, "0"},
        {"full, tally_on longer than the capacity", VESK_DRIVER_TEXT_CAPACITY + 1,
         VESK_DRIVER_TEXT_CAPACITY, "0"},
        {"terminated at the last byte", VESK_DRIVER_TEXT_CAPACITY - 1, VESK_DRIVER_TEXT_CAPACITY - 1, "2"},
    };
    for (const UpdateTextCase& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingHost updates;
        Varnik component(&updates, "");
        configure(updates, component);
        sendParentRequest(component, ("tally_on=" + std::string(c.onLength, 'x')).c_str());
        updates.clear();
        // The whole record, padding included, is 'x': a read past the text's
        // capacity would see a longer text.
        driverUpdateRecord record;
        std::memset(&record, 'x', sizeof record);
        record.device = 12;
        record.index = 5;
        record.state = 0;
        if (c.recordFill < VESK_DRIVER_TEXT_CAPACITY) record.text[c.recordFill] = '\0';
        component.notify(&record, VESK_NOTIFY_DRIVER_UPDATE);
        EXPECT_EQ(updates.commands, (Commands{"IW 30 '" + std::string(c.written) + "' 17 0",
                                           "TP 'text=" + std::string(c.written) + "' '1' 'Tally'"}));
    }
}

struct OffsetCase {
    const char* destReply;
    const char* slotoffset;
    const char* slot;  // in the IW command
};

TEST_F(HostileInput, SlotOffsetSumsWrapAroundInTwosComplement) {
    const OffsetCase cases[] = {
        {"30 2147483647", "1", "-2147483648"},
        {"30 2147483647", "2147483647", "-2"},
        {"30 -1", "-2147483648", "2147483647"},
        {"30 -2147483648", "-2147483648", "0"},
        {"30 17", "99999999999999999999", "-2147483632"},  // clamped offset, then wrapped
        {"30 17", "-17", "0"},
        {"30 17", "junk", "17"},
    };
    for (const OffsetCase& c : cases) {
        SCOPED_TRACE(std::string(c.destReply) + " + " + c.slotoffset);
        RecordingHost sums;
        sums.reply("SD 'SRC'", std::string("12 5"));
        sums.reply("SD 'DST'", std::string(c.destReply));
        {
            Varnik component(&sums, "");
            sendParentRequest(component, "instance=SRC");
            sendParentRequest(component, "setslot=DST");
            sendParentRequest(component, (std::string("slotoffset=") + c.slotoffset).c_str());
            sums.clear();
            driverUpdateRecord record = makeDriverUpdate(12, 5, 0, "off");
            component.notify(&record, VESK_NOTIFY_DRIVER_UPDATE);
            ASSERT_FALSE(sums.commands.empty());
            EXPECT_EQ(sums.commands[0], std::string("IW 30 '0' ") + c.slot + " 0");
        }
        EXPECT_TRUE(sums.violations().empty());
    }
}

// --- Numeric commands with extreme integers ------------------------------------

class CommandScript : public vesk_script_helper {
public:
    using vesk_script_helper::vesk_script_helper;
    void controlEvent(controlEventView*) override {}
    int driverUpdate(driverUpdateView*) override { return 0; }
    vesk_string parentRequest(parentRequestView*) override { return vesk_string(); }
    void timerEvent(int) override {}
};

TEST_F(HostileInput, NumericCommandsCarryExtremeIntegersWhole) {
    CommandScript script(&host, "");
    const int lo = INT_MIN;
    const int hi = INT_MAX;
    script.infoRegister(lo, lo, lo, true);
    script.gpiRegister(hi, lo, hi, false);
    script.infoPoll(lo, hi, lo);
    script.gpiPoll(lo, lo, lo);
    script.infoUnregister(lo);
    script.gpiUnregister(hi);
    script.timerStart(lo, hi);
    script.timerStart(hi, lo);
    script.timerStop(lo);
    script.infoWrite(lo, "v", hi, true);
    EXPECT_EQ(host.commands,
              (Commands{"IR -2147483648 -2147483648 -2147483648 'ADD'",
                        "GR 2147483647 -2147483648 2147483647",
                        "IP -2147483648 2147483647 -2147483648",
                        "GP -2147483648 -2147483648 -2147483648", "IU -2147483648", "GU 2147483647",
                        "ET -2147483648 2147483647", "ET 2147483647 -2147483648", "ET -2147483648",
                        "IW -2147483648 'v' 2147483647 1"}));
}

TEST_F(HostileInput, TimerTicksWithExtremeIdsStopOnlyThatTimer) {
    Varnik component(&host, "");
    for (int id : {INT_MIN, -1, 0, 2, INT_MAX}) {
        host.clear();
        sendTimer(component, id);
        EXPECT_EQ(host.commands, Commands{"ET " + std::to_string(id)});
    }
}

// --- Replies to commands that read none ----------------------------------------

TEST_F(HostileInput, RepliesToIgnoredCommandsAreNeitherReadNorHandedBack) {
    for (const char* word : {"PS", "TP", "IR", "IP", "IU", "IW", "GR", "GP", "GU", "ET", "AS"}) {
        host.replyPrefix(word, std::string("12 5 'junk"));
    }
    host.reply("SD 'SRC'", std::string("12 5"));
    host.reply("SD 'DST'", std::string("30 17"));
    {
        Varnik component(&host, "");
        sendParentRequest(component, "instance=SRC");
        sendParentRequest(component, "setslot=DST");
        sendParentRequest(component, "tally_on=ON");
        sendParentRequest(component, "tally_val=3");
        sendTimer(component, 1);
        driverUpdateRecord record = makeDriverUpdate(12, 5, 0, "ON");
        component.notify(&record, VESK_NOTIFY_DRIVER_UPDATE);
    }
    EXPECT_EQ(host.releasedCount(), 2);  // the two lookups only
    EXPECT_EQ(host.commands.back(), "AS");
}

}  // namespace
