// The dispatcher: which hook each notification type reaches, with what, and
// the reply buffers of parent requests; "AS" at the end of a script.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "recording_host.h"
#include "test_script.h"

namespace {

using Texts = std::vector<std::string>;

void* asData(std::intptr_t value) { return reinterpret_cast<void*>(value); }

class Dispatch : public testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(host.commands.empty()) << "the dispatcher itself sends nothing";
        EXPECT_TRUE(host.violations().empty());
    }
    RecordingHost host;
    TestScript script{&host, "panels"};
};

TEST_F(Dispatch, EachTypeReachesItsHook) {
    driverUpdateRecord update = makeDriverUpdate(3, 4, -5, "on air");
    ControlEvent event("Button", "pressed", "1");
    char key[] = "tally_on.x.y=2";
    const struct {
        const char* what;
        void* data;
        int type;
        Texts hooks;
    } cases[] = {
        {"command type", key, 0, {}},
        {"driver update", &update, 1, {"driverUpdate 3 4 -5 [on air]"}},
        {"control event", event.record(), 2, {"controlEvent Button|pressed|1"}},
        {"parent request", key, 3, {"parentRequest tally_on|2"}},
        {"timer 1", asData(1), 4, {"timerEvent 1"}},
        {"timer 0", asData(0), 4, {"timerEvent 0"}},
        {"timer -9", asData(-9), 4, {"timerEvent -9"}},
        {"timer INT_MAX", asData(INT_MAX), 4, {"timerEvent 2147483647"}},
        {"release of null", nullptr, 5, {}},
        {"type 6 default", key, 6, {}},
        {"type 7 default", key, 7, {}},
        {"type 8", key, 8, {}},
        {"type 9 with record", &update, 9, {}},
        {"type -1", key, -1, {}},
        {"type 100", event.record(), 100, {}},
        {"type INT_MIN", asData(1), INT_MIN, {}},
        {"type INT_MAX", asData(1), INT_MAX, {}},
        {"type 1 without record", nullptr, 1, {}},
        {"type 2 without record", nullptr, 2, {}},
    };
    for (const auto& c : cases) {
        script.hooks.clear();
        EXPECT_EQ(script.notify(c.data, c.type), nullptr) << c.what;
        EXPECT_EQ(script.hooks, c.hooks) << c.what;
    }
}

TEST_F(Dispatch, ParentRequestReplyIsNewArrayHandedBackWithType5) {
    const struct {
        const char* key;
        const char* reply;
        const char* hook;
    } cases[] = {
        {"return=all", "abc", "parentRequest return|all"},
        {"_events", "x\ny", "parentRequest _events|"},
        {"a.b=c=d", "one", "parentRequest a|c=d"},
        {"", "r", "parentRequest |"},
        {nullptr, "r", "parentRequest |"},
    };
    for (const auto& c : cases) {
        script.hooks.clear();
        script.reply = c.reply;
        char* result = script.notify(const_cast<char*>(c.key), VESK_NOTIFY_PARENT_REQUEST);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(script.hooks, Texts{c.hook});
        // Exactly the reply and its terminator (a longer or shorter array
        // would show under the address sanitizer).
        EXPECT_EQ(std::memcmp(result, c.reply, std::strlen(c.reply) + 1), 0);
        EXPECT_EQ(script.notify(result, VESK_NOTIFY_RELEASE), nullptr);
    }
}

TEST_F(Dispatch, EmptyParentRequestReplyIsNull) {
    script.reply = "";
    EXPECT_EQ(sendParentRequest(script, "monitoring=Cam 1"), nullptr);
    EXPECT_EQ(script.hooks, Texts{"parentRequest monitoring|Cam 1"});
}

TEST_F(Dispatch, RepliesAreIndependentBuffers) {
    script.reply = "first";
    char* first = sendParentRequest(script, "a");
    script.reply = "second!";
    char* second = sendParentRequest(script, "b");
    ASSERT_NE(first, second);
    EXPECT_STREQ(first, "first");
    EXPECT_STREQ(second, "second!");
    script.notify(second, VESK_NOTIFY_RELEASE);
    script.notify(first, VESK_NOTIFY_RELEASE);
}

TEST_F(Dispatch, DriverRecordTextIsReadWithinCapacity) {
    // Empty text: the numbers are read all the same.
    driverUpdateRecord empty = makeDriverUpdate(INT_MIN, 0, INT_MAX, "");
    script.notify(&empty, VESK_NOTIFY_DRIVER_UPDATE);
    EXPECT_EQ(script.hooks, Texts{"driverUpdate -2147483648 0 2147483647 []"});

    // A text that fills the whole capacity without a terminator, followed in
    // memory by more non-NUL bytes: only the capacity is read.
    struct {
        driverUpdateRecord record;
        char beyond[64];
    } full;
    std::memset(&full, 'x', sizeof full);
    full.record.device = 1;
    full.record.index = 2;
    full.record.state = 3;
    script.hooks.clear();
    script.notify(&full.record, VESK_NOTIFY_DRIVER_UPDATE);
    EXPECT_EQ(script.hooks,
              Texts{"driverUpdate 1 2 3 [" + std::string(VESK_DRIVER_TEXT_CAPACITY, 'x') + "]"});

    driverUpdateView view(&full.record);
    EXPECT_EQ(view.text().length(), VESK_DRIVER_TEXT_CAPACITY);
    EXPECT_TRUE(view.textEquals(std::string(VESK_DRIVER_TEXT_CAPACITY, 'x').c_str()));
    EXPECT_FALSE(view.textEquals(std::string(VESK_DRIVER_TEXT_CAPACITY + 1, 'x').c_str()));
    EXPECT_FALSE(view.textEquals(std::string(VESK_DRIVER_TEXT_CAPACITY - 1, 'x').c_str()));
}

TEST_F(Dispatch, DriverRecordTextEqualityIsExact) {
    driverUpdateRecord update = makeDriverUpdate(1, 1, 0, "On");
    driverUpdateView view(&update);
    EXPECT_TRUE(view.textEquals("On"));
    EXPECT_FALSE(view.textEquals("on"));
    EXPECT_FALSE(view.textEquals("On "));
    EXPECT_FALSE(view.textEquals("O"));
    EXPECT_FALSE(view.textEquals(""));
    driverUpdateRecord blank = makeDriverUpdate(1, 1, 0, "");
    EXPECT_TRUE(driverUpdateView(&blank).textEquals(""));
}

TEST_F(Dispatch, ControlEventWithMissingPiecesReadsAsEmpty) {
    decodedKeyRecord key{};
    key.name = "pressed";
    key.value = "1";
    decodedKeyRecord nullPointers{};  // name and value null

    controlEventRecord noId{};
    noId.key = &key;
    controlEventRecord noKey{};
    noKey.id = "Button";
    controlEventRecord nullKeyFields{};
    nullKeyFields.id = "Button";
    nullKeyFields.key = &nullPointers;

    script.notify(&noId, VESK_NOTIFY_CONTROL_EVENT);
    script.notify(&noKey, VESK_NOTIFY_CONTROL_EVENT);
    script.notify(&nullKeyFields, VESK_NOTIFY_CONTROL_EVENT);
    EXPECT_EQ(script.hooks, (Texts{"controlEvent |pressed|1", "controlEvent Button||",
                                   "controlEvent Button||"}));
}

// A script that overrides the hooks of types 6 and 7 gets the data unchanged.
class RecordScript : public TestScript {
public:
    using TestScript::TestScript;
    void notifyType6(recordView* record) override { seen.push_back({6, record->data()}); }
    void notifyType7(recordView* record) override { seen.push_back({7, record->data()}); }
    std::vector<std::pair<int, void*>> seen;
};

TEST(DispatchTypes6And7, DataIsHandedOnUninterpreted) {
    RecordingHost host;
    RecordScript script(&host, "");
    int marker = 0;
    EXPECT_EQ(script.notify(&marker, VESK_NOTIFY_TYPE6), nullptr);
    EXPECT_EQ(script.notify(asData(0x1234), VESK_NOTIFY_TYPE7), nullptr);
    EXPECT_EQ(script.notify(nullptr, VESK_NOTIFY_TYPE6), nullptr);
    ASSERT_EQ(script.seen.size(), 3u);
    EXPECT_EQ(script.seen[0], std::make_pair(6, static_cast<void*>(&marker)));
    EXPECT_EQ(script.seen[1], std::make_pair(7, asData(0x1234)));
    EXPECT_EQ(script.seen[2], std::make_pair(6, static_cast<void*>(nullptr)));
    EXPECT_TRUE(script.hooks.empty());
}

// Notes at the moment "AS" arrives whether the derived part was already gone.
class ClosingHost : public RecordingHost {
public:
    char* notify(void* data, int type) override {
        if (type == VESK_NOTIFY_COMMAND && std::strcmp(static_cast<char*>(data), "AS") == 0) {
            derivedAliveAtClose = derivedAlive;
        }
        return RecordingHost::notify(data, type);
    }
    bool derivedAlive = false;
    bool derivedAliveAtClose = true;
};

class TidyScript : public TestScript {
public:
    TidyScript(ClosingHost* host) : TestScript(host, "p"), host_(host) { host_->derivedAlive = true; }
    ~TidyScript() override {
        timerStop(9);  // the derived part's own last words come before "AS"
        host_->derivedAlive = false;
    }

private:
    ClosingHost* host_;
};

TEST(ScriptEnd, AsIsSentOnceAfterTheDerivedPart) {
    ClosingHost host;
    vesk_client_callback* script = new TidyScript(&host);
    EXPECT_TRUE(host.commands.empty());  // construction sends nothing
    delete script;                       // through the interface, as a host does
    EXPECT_EQ(host.commands, (Texts{"ET 9", "AS"}));
    EXPECT_FALSE(host.derivedAliveAtClose);
    EXPECT_TRUE(host.violations().empty());
}

TEST(ScriptEnd, AsIsSentWhateverTheScriptDid) {
    RecordingHost host;
    {
        TestScript script(&host, "p");
        script.timerStart(1, 500);
        sendTimer(script, 1);
    }
    EXPECT_EQ(host.commands, (Texts{"ET 1 500", "AS"}));
    EXPECT_TRUE(host.violations().empty());
}

TEST(ScriptEnd, NoHostSendsNothingAndAnswersAsNoReply) {
    TestScript script(nullptr, nullptr);
    driverUpdateRecord update = makeDriverUpdate(1, 2, 3, "t");
    script.notify(&update, VESK_NOTIFY_DRIVER_UPDATE);
    sendTimer(script, 4);
    EXPECT_EQ(script.hooks, (Texts{"driverUpdate 1 2 3 [t]", "timerEvent 4"}));
    // Destroying it must not touch any host: under the sanitizers a call
    // through a null host would fail here.
}

}  // namespace
