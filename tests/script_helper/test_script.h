// test_script.h - a script that logs every hook call, for the framework tests.
#ifndef TEST_SCRIPT_H
#define TEST_SCRIPT_H

#include <string>
#include <vector>

#include "vesk_script_helper.h"

class TestScript : public vesk_script_helper {
public:
    using vesk_script_helper::vesk_script_helper;

    // One line per hook call, e.g. "timerEvent 1" or "controlEvent id|name|value".
    std::vector<std::string> hooks;
    // What parentRequest answers.
    std::string reply;

    void setAlarmHandling(bool on) { alarmHandling = on; }

    void controlEvent(controlEventView* event) override {
        hooks.push_back(std::string("controlEvent ") + event->id().c_str() + "|" +
                        event->eventName().c_str() + "|" + event->eventValue().c_str());
    }
    int driverUpdate(driverUpdateView* update) override {
        hooks.push_back("driverUpdate " + std::to_string(update->device()) + " " +
                        std::to_string(update->index()) + " " + std::to_string(update->state()) +
                        " [" + update->text().c_str() + "]");
        return 7;  // ignored by the dispatcher
    }
    vesk_string parentRequest(parentRequestView* request) override {
        hooks.push_back(std::string("parentRequest ") + request->name().c_str() + "|" +
                        request->value().c_str());
        return vesk_string(reply.c_str());
    }
    void timerEvent(int timerId) override { hooks.push_back("timerEvent " + std::to_string(timerId)); }
};

#endif  // TEST_SCRIPT_H
