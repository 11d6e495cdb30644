// A plug-in that dies on request ("param crash=segv", "crash=abort" or
// "crash=stack") after a last command and a last diagnostic, for the host's
// crash report.
#include <cstdint>
#include <cstdlib>

#include "vesk_script_helper.h"

namespace {

// The depth at which the recursion stops: never, but the compiler cannot
// tell, so the recursion stays a real one (no loop, no tail call).
volatile long deepest = -1;

long descend(long depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == deepest) return frame[0];
    return descend(depth + 1) + frame[0];
}

class Crashing : public vesk_script_helper {
public:
    using vesk_script_helper::vesk_script_helper;

    vesk_string parentRequest(parentRequestView* request) override {
        textPut(vesk_string("text"), vesk_string("last words"), vesk_string("1"),
                vesk_string("Tally"));
        debugPrint(vesk_string("crashing plug-in: dying words\n"));
        if (request->value() == vesk_string("abort")) std::abort();
        if (request->value() == vesk_string("stack")) descend(0);
        if (request->value() == vesk_string("segv")) {
            // A real memory fault on every system (an address in the
            // unmapped first page, not null, which a sanitizer stops first).
            volatile std::uintptr_t address = 16;
            *reinterpret_cast<volatile int*>(address) = 1;
        }
        return vesk_string();
    }
    void controlEvent(controlEventView*) override {}
    int driverUpdate(driverUpdateView*) override { return 0; }
    void timerEvent(int) override {}
};

}  // namespace

extern "C" VESK_PLUGIN_EXPORT vesk_client_callback* load_vesk_client_script(
    vesk_client_callback* host, const char* panelPath) {
    return vesk_create_script<Crashing>(host, panelPath);
}
