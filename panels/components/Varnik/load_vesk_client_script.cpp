// The one symbol the plug-in exports: the host creates the component here.
// The host owns the new object and ends it through the virtual destructor.
// Nothing may escape into the host: a failed allocation yields null.
#include "Varnik.h"

VESK_DECLARE_COMPONENT(Varnik);
