// Varnik as a later build that behaves differently: whatever tally value the
// host sets, it writes "3". A recorded rehearsal must fail against it.
#include "Varnik.h"
#include "vesk_decoders.h"

namespace {

class ChangedTally : public Varnik {
public:
    using Varnik::Varnik;

    vesk_string parentRequest(parentRequestView* request) override {
        if (!(request->name() == "tally_val")) return Varnik::parentRequest(request);
        decodeKeyString changed("tally_val=3");
        parentRequestView view(&changed);
        return Varnik::parentRequest(&view);
    }
};

}  // namespace

extern "C" VESK_PLUGIN_EXPORT vesk_client_callback* load_vesk_client_script(
    vesk_client_callback* host, const char* panelPath) {
    return vesk_create_script<ChangedTally>(host, panelPath);
}
