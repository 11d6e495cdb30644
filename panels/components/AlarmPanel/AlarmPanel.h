// AlarmPanel.h - an alarm panel: up to four alarm points, each watching a
// GPI input or an info slot, shown on the "alm_" controls of its panel.
//
// A point in alarm is raised (level 1); the panel's group controls
// acknowledge every raised alarm at once ("AckAll": level 4) or apply one
// action to all of them ("ActionAll"), handled by the framework's alarm-group
// support. A point whose source returns to normal goes back to level 0. An
// inhibited point (level 5, set from the panel) is left alone. A summary of
// the points in alarm can drive a facility lamp through an info slot.
#ifndef ALARM_PANEL_H
#define ALARM_PANEL_H

#include "vesk_script_helper.h"

class AlarmPanel : public vesk_script_helper {
public:
    static const int pointCount = 4;

    // Alarm levels of the "alm_" controls' "value" property.
    enum Level {
        levelNormal = 0,        // no alarm
        levelRaised = 1,        // in alarm, not acknowledged
        levelWarning = 2,       // shown, needs no acknowledgement
        levelFault = 3,         // the point itself is broken: its source was not found
        levelAcknowledged = 4,  // in alarm, acknowledged
        levelInhibited = 5      // switched off from the panel
    };

    // Shows the panel "alarm_panel.vesk_ui" as panel "1" and takes the group
    // actions of its "ActionAll" and "AckAll" controls.
    AlarmPanel(vesk_client_callback* host, const char* panelPath);

    // "ack" from one alarm control acknowledges that point.
    void controlEvent(controlEventView* event) override;
    int driverUpdate(driverUpdateView* update) override;
    // alarm1..alarm4=<instance>, label1..label4=<text>, alarm_on=<info text>,
    // summary=<instance of an info slot>, return=all.
    vesk_string parentRequest(parentRequestView* request) override;
    void timerEvent(int timerId) override;

private:
    struct Point {
        vesk_string instance;  // as set; empty: not used
        vesk_string label;     // shown on the control; the instance when empty
        bool gpi = true;
        int device = 0;        // 0: no source
        int index = 0;
        bool known = false;    // a state was reported since the source was set
        bool active = false;   // the source is in alarm
    };

    void watch(int number, const vesk_string& instance);
    // Registers `device` again for the points left on it, after one left.
    void reregister(bool gpi, int device);
    bool othersOn(int number, bool gpi, int device) const;
    void sourceChanged(int number, bool active);
    int levelOf(int number);
    void showLevel(int number, int level);
    void showLabel(int number);
    void summarise();
    vesk_string settings() const;

    Point points[pointCount];
    vesk_string alarmOn;          // the info text that means alarm
    vesk_string summaryInstance;  // as set
    int summaryDevice;            // 0: no summary slot
    int summarySlot;
    int lastCount;                // points in alarm, as last shown; -1: not yet
};

#endif  // ALARM_PANEL_H
