// A module that imports a DLL the host cannot find (absent_dependency.cpp):
// vesk-host must name that DLL, not only say that a module was not found.
#include "vesk_host_abi.h"

extern "C" __declspec(dllimport) int vesk_absent_value();

extern "C" VESK_PLUGIN_EXPORT vesk_client_callback* load_vesk_client_script(vesk_client_callback*,
                                                                          const char*) {
    return vesk_absent_value() != 0 ? nullptr : nullptr;
}
