// The one symbol the module exports: the host creates the component here.
#include "Mirror.h"

extern "C" VESK_PLUGIN_EXPORT vesk_client_callback* load_vesk_client_script(
    vesk_client_callback* host, const char* panelPath) {
    // The host owns the new object; a failed allocation yields null.
    return vesk_create_script<Mirror>(host, panelPath);
}
