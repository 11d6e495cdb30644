// The mirror component: parent parameter "instance" names a GPI input; every
// update of it is shown on the panel as "0" or "1".
#include "Mirror.h"

namespace {

const char* const panel = "1";

}  // namespace

Mirror::Mirror(vesk_client_callback* hostCallback, const char* path)
    : vesk_script_helper(hostCallback, path), device(0), input(0) {
    (void)panelShow(panel, "mirror.vesk_ui", "");
}

// The panel has no buttons: nothing to do on a control event.
void Mirror::controlEvent(controlEventView*) {}

int Mirror::driverUpdate(driverUpdateView* update) {
    if (update->device() == device && update->index() == input) {
        textPut("text", update->state() != 0 ? "1" : "0", panel, "State");
    }
    return 0;
}

vesk_string Mirror::parentRequest(parentRequestView* request) {
    const vesk_string name = request->name();
    const vesk_string value = request->value();
    if (name == "instance") {
        watch(value);
    } else if (name == "return" && value == "all") {
        // The settings as "name=value" lines; the host copies the reply.
        return vesk_string("instance=%1").arg(instance);
    }
    return vesk_string();
}

void Mirror::timerEvent(int) {}

void Mirror::watch(const vesk_string& name) {
    if (device != 0) gpiUnregister(device);
    device = 0;
    instance = name;
    int offset = 0;
    if (!instanceLookup(name, &device, &offset) || device == 0) {
        debugPrint(vesk_string("Mirror - no instance %1\n").arg(name));
        device = 0;
        textPut("text", "-", panel, "Source");
        textPut("text", "-", panel, "State");
        return;
    }
    input = offset;
    const vesk_string source =
        vesk_string("%1.%2").arg(device, '\0', 0, 10).arg(input, '\0', 0, 10);
    textPut("text", source, panel, "Source");
    gpiRegister(device, input, input, false);
    // Ask for the current state at once: it arrives as a driver update.
    gpiPoll(device, input, input);
}
