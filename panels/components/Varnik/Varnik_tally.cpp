// The working half of the tally component: driver updates become tally
// writes, and timer 1 completes start-up once every setting is present.
#include <cstdint>

#include "Varnik.h"

namespace {

const int startupTimer = 1;

// Destination slot: the signed 32-bit sum, wrapping around in two's
// complement instead of overflowing.
int wrappedSum(int a, int b) {
    return static_cast<int>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace

int Varnik::driverUpdate(driverUpdateView* update) {
    if (update->device() != srcDevice || update->index() != srcIndex) return 0;

    const bool on = isGpi ? update->state() == tallyOnState : update->textEquals(tallyOnText);
    const int slot = wrappedSum(slotOffset, destSlot);

    // Write first, then show: the panel always shows what was written. The
    // panel is "1", the component's own panel.
    if (on) {
        infoWrite(destDevice, tallyValText, slot, false);
        textPut("text", tallyValText, "1", "Tally");
    } else {
        infoWrite(destDevice, "0", slot, false);
        textPut("text", "0", "1", "Tally");
    }
    return 0;
}

void Varnik::timerEvent(int timerId) {
    if (timerId != startupTimer) {
        timerStop(timerId);  // only timer 1 is ours
        return;
    }
    ready = true;
    if (srcDevice == 0 || srcIndex == 0) ready = false;
    if (destDevice == 0 || destSlot == 0) ready = false;
    if (tallyOnText == "") ready = false;
    if (tallyValText == "") ready = false;
    if (!ready) return;  // try again at the next tick

    if (isGpi) {
        gpiRegister(srcDevice, srcIndex, srcIndex, false);
        gpiPoll(srcDevice, srcIndex, srcIndex);
    } else {
        infoRegister(srcDevice, srcIndex, srcIndex, false);
        infoPoll(srcDevice, srcIndex, srcIndex);
    }
    timerStop(startupTimer);
}
