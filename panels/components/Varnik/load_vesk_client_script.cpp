// The one symbol the plug-in exports: the host creates the component here.
#include "Varnik.h"

extern "C" VESK_PLUGIN_EXPORT vesk_client_callback* load_vesk_client_script(
    vesk_client_callback* host, const char* panelPath) {
    // The host owns the new object and ends it through the virtual destructor.
    // Nothing may escape into the host: a failed allocation yields null.
    return vesk_create_script<Varnik>(host, panelPath);
}
