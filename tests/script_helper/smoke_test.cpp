#include <gtest/gtest.h>

#include "recording_host.h"
#include "vesk_script_helper.h"

namespace {
class NullScript : public vesk_script_helper {
public:
    using vesk_script_helper::vesk_script_helper;
    void controlEvent(controlEventView*) override {}
    int driverUpdate(driverUpdateView*) override { return 0; }
    vesk_string parentRequest(parentRequestView*) override { return vesk_string(); }
    void timerEvent(int) override {}
};
}  // namespace

TEST(Smoke, DestructorSendsAs) {
    RecordingHost host;
    { NullScript script(&host, "p"); }
    ASSERT_EQ(host.commands.size(), 1u);
    EXPECT_EQ(host.commands[0], "AS");
}
