// component_fixture.h - one Varnik component loaded from the built module,
// talking to a recording host in a small studio:
//   camera "cam1": GPI device 3, input 7        (drvtype G)
//   source "vtr":  info device 5, slot 9        (drvtype i)
//   source "cam2": GPI device 4, input 2        (drvtype g)
//   destination "desk": info device 12, slot 17
#ifndef COMPONENT_FIXTURE_H
#define COMPONENT_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loaded_module.h"
#include "portable.h"
#include "recording_host.h"

using Commands = std::vector<std::string>;

// Sends one notification and returns the commands it caused.
Commands requestOn(RecordingHost& host, vesk_client_callback& component, const char* key,
                   std::string* reply = nullptr);
Commands tickOn(RecordingHost& host, vesk_client_callback& component, int timerId = 1);

class ComponentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module.loaded()) << module.error();
        host.reply("SD 'cam1'", "3 7");
        host.reply("SD 'vtr'", "5 9");
        host.reply("SD 'cam2'", "4 2");
        host.reply("SD 'desk'", "12 17");
        component = module.create(&host, "panels");
        ASSERT_NE(component, nullptr);
        host.clear();
    }

    void TearDown() override {
        component.reset();
        EXPECT_TRUE(host.violations().empty()) << ::testing::PrintToString(host.violations());
        EXPECT_EQ(host.outstandingReplies(), 0);
    }

    // Sends a parent request and returns what was sent in answer to it.
    Commands request(const char* key) { return requestOn(host, *component, key, &replyText); }
    Commands tick(int timerId = 1) { return tickOn(host, *component, timerId); }
    Commands update(int device, int index, int state, const std::string& text = "") {
        host.clear();
        driverUpdateRecord record = makeDriverUpdate(device, index, state, text);
        component->notify(&record, VESK_NOTIFY_DRIVER_UPDATE);
        return host.commands;
    }
    // Every setting a tally needs, for the given source instance.
    void configure(const char* instance, const char* tallyOn = "1") {
        request((std::string("instance=") + instance).c_str());
        request("setslot=desk");
        request("slotoffset=3");
        request((std::string("tally_on=") + tallyOn).c_str());
        request("tally_val=2");
    }

    ConfigFile config{
        "[instances.cam1]\ndrvtype = G\n"
        "[instances.vtr]\ndrvtype = i\n"
        "[instances.cam2]\ndrvtype = g\n"
        "[instances.desk]\ndrvtype = i\n"};
    LoadedModule module;
    RecordingHost host;
    std::unique_ptr<vesk_client_callback> component;
    std::string replyText;
};

#endif  // COMPONENT_FIXTURE_H
