// The parent parameters of the tally component and the settings listing.
#include "component_fixture.h"

namespace {

TEST_F(ComponentTest, SettingsListingShowsWhatWasStored) {
    EXPECT_EQ(request("return=all"), Commands{});
    EXPECT_EQ(replyText, "monitoring=\nsetslot=\nslotoffset=\ntally_on=\ntally_val=");

    request("monitoring=CAM 1 live");
    request("setslot=desk");
    request("slotoffset=x12");
    request("tally_on=0");
    request("tally_val=3");
    request("instance=cam1");  // not part of the listing
    request("return=all");
    EXPECT_EQ(replyText,
              "monitoring=CAM 1 live\nsetslot=desk\nslotoffset=x12\ntally_on=0\ntally_val=3");

    // A failed destination keeps the stored name; an invalid value keeps the old one.
    CaptureDiagnostics();
    request("setslot=ghost");
    GetCapturedDiagnostics();
    request("tally_val=01");
    request("return=all");
    EXPECT_EQ(replyText,
              "monitoring=CAM 1 live\nsetslot=desk\nslotoffset=x12\ntally_on=0\ntally_val=3");
}

TEST_F(ComponentTest, RequestsWithoutAnAnswer) {
    // Each returns no text, so the host gets a null reply and nothing to hand back.
    const char* keys[] = {"return=some", "return", "_events", "_commands=x", "unknown=1",
                          "",            "=all",   "tally_val=9", "RETURN=all"};
    for (const char* key : keys) {
        EXPECT_EQ(sendParentRequest(*component, key), nullptr) << key;
    }
    EXPECT_EQ(sendParentRequest(*component, nullptr), nullptr);
    EXPECT_EQ(host.commands, Commands{});
}

TEST_F(ComponentTest, PanelTextsOfTheSettings) {
    struct Case {
        const char* key;
        Commands sent;
    } cases[] = {
        {"monitoring=Studio A", {"TP 'text=Studio A' '1' 'Legend'"}},
        {"monitoring=", {"TP 'text=' '1' 'Legend'"}},
        {"monitoring=it's", {"TP 'text=it's' '1' 'Legend'"}},  // sent unescaped
        {"tally_on=0", {"TP 'text=0' '1' 'AlarmTest'"}},
        {"tally_on=", {"TP 'text=' '1' 'AlarmTest'"}},
        {"tally_on=a=b", {"TP 'text=a=b' '1' 'AlarmTest'"}},
        {"slotoffset=7", {}},
        {"tally_val=1", {}},
        {"setslot=desk", {"SD 'desk'", "TP 'text=17' '1' 'Addr'"}},
    };
    for (const Case& c : cases) EXPECT_EQ(request(c.key), c.sent) << c.key;
}

TEST_F(ComponentTest, TallyValueTakesOnlyOneTwoOrThree) {
    configure("cam1");
    struct Case {
        const char* value;
        const char* written;
    } cases[] = {
        {"1", "1"}, {"4", "1"}, {"01", "1"}, {"", "1"}, {"3", "3"},
        {"2 ", "3"}, {"two", "3"}, {"2", "2"},
    };
    for (const Case& c : cases) {
        request((std::string("tally_val=") + c.value).c_str());
        EXPECT_EQ(update(3, 7, 1).front(), std::string("IW 12 '") + c.written + "' 20 0")
            << "after tally_val \"" << c.value << "\"";
    }
}

TEST_F(ComponentTest, FailedDestinationClearsAddrButKeepsWriting) {
    configure("cam1");
    CaptureDiagnostics();
    EXPECT_EQ(request("setslot=ghost"), (Commands{"SD 'ghost'", "TP 'text=' '1' 'Addr'"}));
    EXPECT_EQ(GetCapturedDiagnostics(),
              "Varnik - failed to find destination instance ghost\n");
    EXPECT_EQ(update(3, 7, 1).front(), "IW 12 '2' 20 0");
    // Every setslot is looked up again, even an unchanged one.
    EXPECT_EQ(request("setslot=desk"), (Commands{"SD 'desk'", "TP 'text=17' '1' 'Addr'"}));
    EXPECT_EQ(request("setslot=desk"), (Commands{"SD 'desk'", "TP 'text=17' '1' 'Addr'"}));
}

TEST_F(ComponentTest, LookupRepliesAreReadLikeTheHostWrote) {
    struct Case {
        const char* reply;
        const char* addr;
    } cases[] = {
        {"12", "0"},                 // one token: no offset
        {"", "0"},                   // an empty reply still counts as found
        {"12 17 extra", "17"},
        {" 12 17", "12"},            // leading space: empty first token
        {"'12' 17", "12"},           // leading quote: empty first token
        {"12 99999999999", "2147483647"},
        {"12 -99999999999", "-2147483648"},
        {"12 4x", "4"},
    };
    for (const Case& c : cases) {
        host.reply("SD 'odd'", c.reply);
        EXPECT_EQ(request("setslot=odd"),
                  (Commands{"SD 'odd'", std::string("TP 'text=") + c.addr + "' '1' 'Addr'"}))
            << "reply \"" << c.reply << "\"";
    }
}

TEST_F(ComponentTest, EmptyInstanceNameIsIgnoredUntilASourceIsSet) {
    EXPECT_EQ(request("instance="), Commands{});
    EXPECT_EQ(request("instance"), Commands{});
    request("instance=cam1");
    host.reply("SD ''", "6 6");
    EXPECT_EQ(request("instance=").front(), "GU 3");
}

TEST_F(ComponentTest, ControlEventsAreIgnored) {
    const char* ids[] = {"ActionAll", "AckAll", "Tally", ""};
    for (const char* id : ids) {
        ControlEvent event(id, "alarm", "ack");
        EXPECT_EQ(component->notify(event.record(), VESK_NOTIFY_CONTROL_EVENT), nullptr);
    }
    EXPECT_EQ(host.commands, Commands{});
}

}  // namespace
