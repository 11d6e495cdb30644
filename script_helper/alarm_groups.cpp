// Group actions on the alarm controls of a script's panel: "ActionAll"
// applies one alarm action to every "alm_" control, "AckAll" acknowledges
// them all. Active only while alarmHandling is set.
#include "vesk_script_helper.h"

namespace {

const char* const alarmPanel = "1";
const char* const alarmFilter = "alm_";
const int acknowledgedLevel = 4;

}  // namespace

bool vesk_script_helper::handleAlarmGroupEvent(const controlEventView& event) {
    const vesk_string id = event.id();
    if (id == "ActionAll" && event.eventName() == "alarm") {
        alarmAction(event.eventValue());
        return true;
    }
    if (id == "AckAll") {
        alarmAction(vesk_string(acknowledgedLevel, '\0', 0, 10));
        return true;
    }
    return false;
}

void vesk_script_helper::alarmAction(const vesk_string& action) {
    // "ack" (and "4", what "AckAll" passes) acknowledges; any other single
    // character is a level of its own; longer or empty texts carry none.
    bool hasLevel = false;
    int level = 0;
    if (action == "ack") {
        hasLevel = true;
        level = acknowledgedLevel;
    } else if (action.length() == 1) {
        hasLevel = true;
        level = action.toInt();
    }

    const vesk_string panel(alarmPanel);
    const vesk_stringlist controls = controlList(panel, alarmFilter);
    for (const vesk_string& control : controls) {
        textPut("alarm", action, panel, control);
        if (hasLevel && level == acknowledgedLevel) {
            vesk_string current;
            textGet("value", panel, control, current);
            const int value = current.toInt();
            const bool settled = value == 0 || (value >= 2 && value <= 5);
            if (!settled) textPut("value", "4", panel, control);
        } else if (hasLevel) {
            textPut("value", vesk_string(level, '\0', 0, 10), panel, control);
        }
    }
}
