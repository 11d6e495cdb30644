#include "AlarmPanel.h"

#include <cstring>

namespace {

const char* const panel = "1";
const char* const defaultAlarmText = "ALARM";

vesk_string decimal(int value) { return vesk_string(value, '\0', 0, 10); }

// "alm_1" .. "alm_4": the alarm controls of the points.
vesk_string controlOf(int number) { return vesk_string("alm_%1").arg(decimal(number + 1)); }

// The point a parameter such as "alarm2" or "label2" names; -1 for none.
int pointOf(const vesk_string& name, const char* stem) {
    const std::size_t length = std::strlen(stem);
    const char* text = name.c_str();
    if (static_cast<std::size_t>(name.length()) != length + 1 ||
        std::strncmp(text, stem, length) != 0) {
        return -1;
    }
    const char digit = text[length];
    return digit >= '1' && digit < '1' + AlarmPanel::pointCount ? digit - '1' : -1;
}

}  // namespace

AlarmPanel::AlarmPanel(vesk_client_callback* hostCallback, const char* path)
    : vesk_script_helper(hostCallback, path),
      alarmOn(defaultAlarmText),
      summaryDevice(0),
      summarySlot(0),
      lastCount(-1) {
    // The group controls "ActionAll" and "AckAll" act on every "alm_" control.
    alarmHandling = true;
    (void)panelShow(panel, "alarm_panel.vesk_ui", "");
}

void AlarmPanel::controlEvent(controlEventView* event) {
    const vesk_string id = event->id();
    for (int number = 0; number < pointCount; ++number) {
        if (id != controlOf(number) || event->eventName() != "ack") continue;
        if (levelOf(number) == levelRaised) showLevel(number, levelAcknowledged);
    }
}

int AlarmPanel::driverUpdate(driverUpdateView* update) {
    for (int number = 0; number < pointCount; ++number) {
        const Point& point = points[number];
        if (point.device == 0 || point.device != update->device() ||
            point.index != update->index()) {
            continue;
        }
        // A GPI and an info driver may share a device number: the kind of
        // update tells them apart only by what the point expects.
        sourceChanged(number, point.gpi ? update->state() != 0 : update->textEquals(alarmOn));
    }
    return 0;
}

vesk_string AlarmPanel::parentRequest(parentRequestView* request) {
    const vesk_string name = request->name();
    const vesk_string value = request->value();
    int number = pointOf(name, "alarm");
    if (number >= 0) {
        watch(number, value);
        return vesk_string();
    }
    number = pointOf(name, "label");
    if (number >= 0) {
        points[number].label = value;
        showLabel(number);
        return vesk_string();
    }
    if (name == "alarm_on") {
        alarmOn = value;
    } else if (name == "summary") {
        summaryInstance = value;
        summaryDevice = 0;
        summarySlot = 0;
        int device = 0;
        int offset = 0;
        if (!instanceLookup(value, &device, &offset)) {
            debugPrint(vesk_string("AlarmPanel - no summary instance %1\n").arg(value));
            return vesk_string();
        }
        summaryDevice = device;
        summarySlot = offset;
        lastCount = -1;
        summarise();
    } else if (name == "return" && value == "all") {
        return settings();
    }
    return vesk_string();
}

void AlarmPanel::timerEvent(int) {}

void AlarmPanel::watch(int number, const vesk_string& instance) {
    Point& point = points[number];
    if (point.device != 0) {
        const bool gpi = point.gpi;
        const int device = point.device;
        point.device = 0;
        reregister(gpi, device);
    }
    point.instance = instance;
    point.known = false;
    point.active = false;
    showLabel(number);
    if (instance.isEmpty()) {
        showLevel(number, levelNormal);
        summarise();
        return;
    }
    int device = 0;
    int offset = 0;
    if (!instanceLookup(instance, &device, &offset) || device == 0 || offset == 0) {
        debugPrint(vesk_string("AlarmPanel - no source %1 for alarm %2\n")
                       .arg(instance)
                       .arg(decimal(number + 1)));
        showLevel(number, levelFault);
        summarise();
        return;
    }
    const vesk_config node(vesk_string("instances.%1").arg(instance));
    point.gpi = node.attr("drvtype").lower() != "i";
    // Several points on one device: the first registration of a device
    // replaces its earlier range, so the others are added to it.
    const bool add = othersOn(number, point.gpi, device);
    point.device = device;
    point.index = offset;
    if (point.gpi) {
        gpiRegister(device, offset, offset, add);
        gpiPoll(device, offset, offset);
    } else {
        infoRegister(device, offset, offset, add);
        infoPoll(device, offset, offset);
    }
}

void AlarmPanel::reregister(bool gpi, int device) {
    // Unregistering drops every range of the device, so the points still on
    // it are registered again, the first replacing and the others adding.
    if (gpi) {
        gpiUnregister(device);
    } else {
        infoUnregister(device);
    }
    bool add = false;
    for (const Point& point : points) {
        if (point.device != device || point.gpi != gpi) continue;
        if (gpi) {
            gpiRegister(device, point.index, point.index, add);
        } else {
            infoRegister(device, point.index, point.index, add);
        }
        add = true;
    }
}

bool AlarmPanel::othersOn(int number, bool gpi, int device) const {
    for (int other = 0; other < pointCount; ++other) {
        if (other != number && points[other].device == device && points[other].gpi == gpi) {
            return true;
        }
    }
    return false;
}

void AlarmPanel::sourceChanged(int number, bool active) {
    Point& point = points[number];
    if (point.known && point.active == active) return;
    point.known = true;
    point.active = active;
    // An inhibited point shows nothing new; one in alarm stays as it is
    // shown (raised or acknowledged) until its source returns to normal.
    const int level = levelOf(number);
    if (level != levelInhibited) {
        if (!active) {
            showLevel(number, levelNormal);
        } else if (level != levelRaised && level != levelAcknowledged) {
            showLevel(number, levelRaised);
        }
    }
    summarise();
}

int AlarmPanel::levelOf(int number) {
    vesk_string value;
    textGet("value", panel, controlOf(number), value);
    return value.toInt();
}

void AlarmPanel::showLevel(int number, int level) {
    textPut("value", decimal(level), panel, controlOf(number));
}

void AlarmPanel::showLabel(int number) {
    const Point& point = points[number];
    textPut("text", point.label.isEmpty() ? point.instance : point.label, panel,
            controlOf(number));
}

void AlarmPanel::summarise() {
    int count = 0;
    for (const Point& point : points) count += point.device != 0 && point.active ? 1 : 0;
    if (count == lastCount) return;
    // The beacon is written when it goes on or off, not for every count.
    const bool relight = lastCount < 0 || (lastCount > 0) != (count > 0);
    lastCount = count;
    textPut("text", vesk_string("%1 in alarm").arg(decimal(count)), panel, "Summary");
    if (summaryDevice != 0 && relight) {
        infoWrite(summaryDevice, count > 0 ? "1" : "0", summarySlot, false);
    }
}

vesk_string AlarmPanel::settings() const {
    vesk_string text;
    for (int number = 0; number < pointCount; ++number) {
        const vesk_string n = decimal(number + 1);
        text += vesk_string("alarm%1=%2\nlabel%1=%3\n")
                    .arg(n)
                    .arg(points[number].instance)
                    .arg(points[number].label);
    }
    text += vesk_string("alarm_on=%1\nsummary=%2").arg(alarmOn).arg(summaryInstance);
    return text;
}
