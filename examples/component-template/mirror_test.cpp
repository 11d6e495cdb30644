// Unit test of the mirror component on the kit's recording fake host
// (vesk_test_host.h): no host program, no files, one process.
#include <cstdio>
#include <string>

#include "Mirror.h"
#include "vesk_test_host.h"

namespace {

int failures = 0;

void expect(bool held, const std::string& what) {
    if (!held) {
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
        ++failures;
    }
}

}  // namespace

int main() {
    vesk_test_host host;
    host.reply("SD 'cam1'", "3 7");  // instance cam1: GPI device 3, input 7
    {
        Mirror mirror(&host, "panels");
        expect(host.sent("PS '1' 'panels/mirror.vesk_ui'"), "shows its panel");

        vesk_test::param(mirror, "instance=cam1");
        expect(host.sent("GR 3 7 7"), "registers input 3.7");
        expect(host.sent("GP 3 7 7"), "asks for its state at once");
        expect(host.lastControlText("Source") == std::string("3.7"), "shows the source");

        // The watched input, and another input of the same device.
        const struct {
            int input, state;
            const char* shown;
        } updates[] = {{7, 1, "1"}, {8, 0, "1"}, {7, 0, "0"}, {7, 5, "1"}};
        for (const auto& update : updates) {
            vesk_test::gpi(mirror, 3, update.input, update.state);
            expect(host.lastControlText("State") == std::string(update.shown),
                   "input " + std::to_string(update.input) + " state " +
                       std::to_string(update.state) + " shows " + update.shown);
        }

        expect(vesk_test::param(mirror, "return=all") == std::string("instance=cam1"),
               "lists its setting");

        // An unknown instance: the device is let go and the panel says so.
        host.clear();
        vesk_test::param(mirror, "instance=nowhere");
        expect(host.sent("GU 3"), "unregisters the old device");
        expect(host.lastControlText("State") == std::string("-"), "shows no state");
    }
    expect(!host.commands.empty() && host.commands.back() == "AS", "ends with AS");
    for (const std::string& violation : host.violations()) expect(false, violation);
    if (failures == 0) std::printf("mirror unit test: all held\n");
    return failures == 0 ? 0 : 1;
}
