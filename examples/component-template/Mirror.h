// Mirror.h - the smallest useful component: it shows the state of one GPI
// input on the "State" control of its panel.
#ifndef MIRROR_H
#define MIRROR_H

#include "vesk_script_helper.h"

class Mirror : public vesk_script_helper {
public:
    // Shows the panel "mirror.vesk_ui" as panel "1".
    Mirror(vesk_client_callback* host, const char* panelPath);

    void controlEvent(controlEventView* event) override;
    int driverUpdate(driverUpdateView* update) override;
    vesk_string parentRequest(parentRequestView* request) override;
    void timerEvent(int timerId) override;

private:
    void watch(const vesk_string& name);

    int device;            // GPI device of the watched input; 0: none
    int input;             // the watched input on that device
    vesk_string instance;  // name of the watched instance, as set
};

#endif  // MIRROR_H
