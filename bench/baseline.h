// baseline.h - the least work a matching driver update needs.
//
// Compares device, index and state, assembles the write and the panel text
// on the stack with memcpy and a hand-written decimal conversion, and hands
// both to the host through its virtual notify. No string class, no
// formatting library, no allocation: the yardstick for the component.
#ifndef VARNIK_BENCH_BASELINE_H
#define VARNIK_BENCH_BASELINE_H

#include <cstddef>

#include "vesk_host_abi.h"

// What the component knows once it is set up, as plain values.
struct TallyRoute {
    int srcDevice;
    int srcIndex;
    int onState;      // GPI state that means on
    int destDevice;
    int destSlot;
    int slotOffset;
    const char* onValue;  // written while on: "1", "2" or "3"
    std::size_t onValueLength;
};

// Sends "IW <destDevice> '<value>' <slotOffset + destSlot> 0" and then
// "TP 'text=<value>' '1' 'Tally'" for an update of the watched input, where
// the value is onValue when the state is onState and "0" otherwise. Other
// updates send nothing. Kept in its own file, so that the compiler cannot
// fold the route into the loop that measures it.
void baselineDriverUpdate(vesk_client_callback* host, const driverUpdateRecord* update,
                          const TallyRoute& route);

#endif  // VARNIK_BENCH_BASELINE_H
