// The one symbol the module exports: the host creates the alarm panel here.
#include "AlarmPanel.h"

VESK_DECLARE_COMPONENT(AlarmPanel);
