// The one symbol the module exports: the host creates the component here.
// The macro defines load_vesk_client_script with C linkage and marks it for
// export; the host owns the new object, and a failed allocation yields null.
#include "Mirror.h"

VESK_DECLARE_COMPONENT(Mirror);
