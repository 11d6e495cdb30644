// Construction of the tally component and its parent parameters.
#include "Varnik.h"

namespace {

const int startupTimer = 1;
const int startupInterval = 500;

// The id of the component's own panel: the number 1 as text.
vesk_string panelId() { return vesk_string(1, '\0', 0, 10); }

vesk_string decimal(int number) { return vesk_string("%1").arg(number, '\0', 0, 10); }

}  // namespace

Varnik::Varnik(vesk_client_callback* hostCallback, const char* path)
    : vesk_script_helper(hostCallback, path),
      srcIndex(0),
      srcDevice(0),
      destSlot(0),
      destDevice(0),
      slotOffset(0),
      tallyOnState(0),
      isGpi(false),
      ready(false) {
    // Construction completes whatever the host answers.
    (void)panelShow(panelId(), "varnik.vesk_ui", "");
}

Varnik::~Varnik() = default;

void Varnik::controlEvent(controlEventView*) {}

void Varnik::showText(const char* control, const vesk_string& value) {
    textPut("text", value, panelId(), control);
}

vesk_string Varnik::parentRequest(parentRequestView* request) {
    const vesk_string name = request->name();
    const vesk_string value = request->value();

    if (name == "return") {
        return value == "all" ? settingsListing() : vesk_string();
    }
    if (name == "instance") {
        // An unchanged name is no request at all.
        if (value != instanceName) changeInstance(value);
        return vesk_string();
    }
    if (name == "monitoring") {
        monitoringText = value;
        showText("Legend", monitoringText);
    } else if (name == "setslot") {
        lookUpDestination(value);
    } else if (name == "slotoffset") {
        slotoffsetText = value;
        slotOffset = value.toInt();
    } else if (name == "tally_on") {
        tallyOnText = value;
        tallyOnState = value == "0" ? 0 : 1;
        showText("AlarmTest", value);
    } else if (name == "tally_val") {
        if (value == "1" || value == "2" || value == "3") tallyValText = value;
    } else if (name == "_events" || name == "_commands") {
        // This component raises no events and takes no commands: a list of
        // one empty entry.
        vesk_stringlist none;
        none << vesk_string();
        return none.toString('\n');
    }
    return vesk_string();
}

vesk_string Varnik::settingsListing() const {
    vesk_stringlist settings;
    settings << vesk_string("monitoring=%1").arg(monitoringText)
             << vesk_string("setslot=%1").arg(setslotName)
             << vesk_string("slotoffset=%1").arg(slotoffsetText)
             << vesk_string("tally_on=%1").arg(tallyOnText)
             << vesk_string("tally_val=%1").arg(tallyValText);
    return settings.toString('\n');
}

void Varnik::changeInstance(const vesk_string& name) {
    if (srcDevice != 0) {
        if (isGpi) {
            gpiUnregister(srcDevice);
        } else {
            infoUnregister(srcDevice);
        }
        srcDevice = 0;
        isGpi = true;
        instanceName = "";
    }

    int device = 0;
    int offset = 0;
    if (!instanceLookup(name, &device, &offset)) {
        debugPrint(vesk_string("Varnik - failed to find instance %1\n").arg(name));
        textPut("text=unknown", panelId(), "deviceType");
        textPut("text=0", panelId(), "SrcDev");
        textPut("text=0", panelId(), "SrcIndex");
        return;
    }

    const vesk_config node(vesk_string("instances.%1").arg(name));
    const vesk_string driverType = node.attr("drvtype");
    const vesk_string kind = driverType.lower();
    if (kind != "g" && kind != "i") {
        debugPrint(vesk_string("Varnik invalid driver type %1 - will assume Infodriver\n")
                       .arg(driverType));
    }
    isGpi = kind == "g";
    srcDevice = device;
    srcIndex = offset;
    instanceName = name;

    showText("DeviceType", isGpi ? "GPI" : "Info");
    showText("SrcDev", decimal(srcDevice));
    showText("SrcIndex", decimal(srcIndex));

    if (srcDevice != 0 && srcIndex != 0) {
        if (isGpi) {
            gpiRegister(srcDevice, srcIndex, srcIndex, false);
        } else {
            infoRegister(srcDevice, srcIndex, srcIndex, false);
        }
    }
    timerStart(startupTimer, startupInterval);
}

void Varnik::lookUpDestination(const vesk_string& name) {
    int device = 0;
    int offset = 0;
    if (!instanceLookup(name, &device, &offset)) {
        debugPrint(vesk_string("Varnik - failed to find destination instance %1\n").arg(name));
        showText("Addr", "");
        return;  // the previous destination stays in force
    }
    setslotName = name;
    destSlot = offset;
    destDevice = device;
    showText("Addr", decimal(destSlot));
}
