// A plug-in that dies on request ("param crash=segv" or "crash=abort") after
// a last command and a last diagnostic, for the host's crash report.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vesk_host_abi.h"

namespace {

class Crashing : public vesk_client_callback {
public:
    explicit Crashing(vesk_client_callback* host) : host_(host) {}
    char* notify(void* data, int type) override {
        if (type != VESK_NOTIFY_PARENT_REQUEST) return nullptr;
        char command[] = "TP 'text=last words' '1' 'Tally'";
        host_->notify(command, VESK_NOTIFY_COMMAND);
        std::fputs("crashing plug-in: dying words\n", stderr);
        const char* key = static_cast<const char*>(data);
        if (std::strcmp(key, "crash=abort") == 0) std::abort();
        if (std::strcmp(key, "crash=segv") == 0) std::raise(SIGSEGV);
        return nullptr;
    }

private:
    vesk_client_callback* host_;
};

}  // namespace

extern "C" VESK_PLUGIN_EXPORT vesk_client_callback* load_vesk_client_script(
    vesk_client_callback* host, const char*) {
    return new Crashing(host);
}
