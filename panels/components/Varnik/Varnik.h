// Varnik.h - the tally component.
//
// Watches one source, an input of a GPI driver or a slot of an info driver,
// and writes a tally value ("1", "2" or "3" while the source is on, "0"
// otherwise) into a destination slot of an info driver and onto the "Tally"
// control of its panel. All settings arrive as parent requests.
#ifndef VARNIK_H
#define VARNIK_H

#include "vesk_script_helper.h"

class Varnik : public vesk_script_helper {
public:
    // Shows the panel "varnik.vesk_ui" as panel "1".
    Varnik(vesk_client_callback* host, const char* panelPath);
    // Sends nothing of its own: the source stays registered and timer 1
    // running until the host ends them; the base sends "AS".
    ~Varnik() override;

    void controlEvent(controlEventView* event) override;
    int driverUpdate(driverUpdateView* update) override;
    vesk_string parentRequest(parentRequestView* request) override;
    void timerEvent(int timerId) override;

private:
    vesk_string settingsListing() const;
    void changeInstance(const vesk_string& name);
    void lookUpDestination(const vesk_string& name);
    // Puts "text=<value>" on a control of panel "1".
    void showText(const char* control, const vesk_string& value);

    int srcIndex;           // index of the watched source on its device
    int srcDevice;          // device of the watched source; 0: no source
    int destSlot;           // slot of the destination (before slotOffset)
    int destDevice;         // device of the destination info driver
    int slotOffset;         // added to destSlot on every write
    int tallyOnState;       // GPI state that means on: 0 for tally_on "0", else 1
    bool isGpi;             // the source is a GPI driver, else an info driver
    bool ready;             // every setting present at the last tick of timer 1
    vesk_string instanceName;    // last instance whose lookup succeeded
    vesk_string monitoringText;  // legend shown on the panel
    vesk_string setslotName;     // last destination whose lookup succeeded
    vesk_string slotoffsetText;  // slotoffset as received
    vesk_string tallyOnText;     // text an info source reports when on
    vesk_string tallyValText;    // "1", "2" or "3": written while on
};

#endif  // VARNIK_H
