#include "crash_guard.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "diagnostic_capture.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define VESK_HOST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VESK_HOST_SANITIZED 1
#endif

#ifdef VESK_HOST_SANITIZED
extern "C" void __sanitizer_set_death_callback(void (*callback)(void));
#endif

namespace vhost {

namespace {

volatile sig_atomic_t insidePlugin = 0;

void say(const char* text) {
    if (::write(2, text, std::strlen(text)) < 0) return;
}

[[noreturn]] void reportAndExit(const char* cause) {
    DiagnosticCapture::releaseAfterCrash();
    say(insidePlugin != 0 ? "vesk-host: the plug-in crashed (" : "vesk-host: crashed (");
    say(cause);
    say("); the timeline above ends where it happened\n");
    ::_exit(exitPluginCrashed);
}

void onSignal(int signal) {
    const char* cause = "a fatal signal";
    switch (signal) {
    case SIGSEGV: cause = "segmentation fault"; break;
    case SIGBUS: cause = "bus error"; break;
    case SIGABRT: cause = "aborted"; break;
    case SIGFPE: cause = "arithmetic exception"; break;
    case SIGILL: cause = "illegal instruction"; break;
    default: break;
    }
    reportAndExit(cause);
}

#ifdef VESK_HOST_SANITIZED
void onSanitizerDeath() { reportAndExit("sanitizer report above"); }
#endif

}  // namespace

void installCrashGuard() {
    // An overflowed stack still gets its handler run.
    static char alternateStack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
#ifdef VESK_HOST_SANITIZED
    // The sanitizer reports memory faults itself and then calls back.
    __sanitizer_set_death_callback(onSanitizerDeath);
    const int signals[] = {SIGABRT, SIGFPE, SIGILL};
#else
    const int signals[] = {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL};
#endif
    for (int signal : signals) ::sigaction(signal, &action, nullptr);
}

void markPluginCall(bool inside) { insidePlugin = inside ? 1 : 0; }

}  // namespace vhost
