// Part of every component module, made by vesk_add_component: the module
// must define the factory with C linkage. Defined under a C++ name (without
// extern "C"), the link fails here, naming load_vesk_client_script.
#include "vesk_host_abi.h"

extern "C" vesk_client_callback* load_vesk_client_script(vesk_client_callback* host,
                                                         const char* panelPath);

namespace {

// Kept, so that the reference survives the optimiser.
#if defined(__GNUC__)
__attribute__((used))
#endif
const vesk_factory_fn veskFactoryDefinedWithCLinkage = &load_vesk_client_script;

}  // namespace
