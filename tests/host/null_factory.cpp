// A plug-in whose factory creates nothing, for the host's load checks.
#include "vesk_host_abi.h"

extern "C" __attribute__((visibility("default"))) vesk_client_callback* load_vesk_client_script(
    vesk_client_callback*, const char*) {
    return nullptr;
}
