#include "crash_guard.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
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
// Where the stack stood when the host last called into the plug-in, and how
// far below that it may grow: a fault in that stretch is a stack overflow.
volatile std::uintptr_t stackAtCall = 0;
std::uintptr_t stackReach = 0;

bool onTheStack(const void* address) {
    const auto fault = reinterpret_cast<std::uintptr_t>(address);
    return stackAtCall != 0 && fault < stackAtCall && stackAtCall - fault <= stackReach;
}

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

void onSignal(int signal, siginfo_t* info, void*) {
    const char* cause = "a fatal signal";
    switch (signal) {
    case SIGSEGV:
        cause = info != nullptr && onTheStack(info->si_addr) ? "stack overflow"
                                                             : "segmentation fault";
        break;
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

    // The stack may grow to its limit; beyond an unlimited one, a fault
    // that far down is taken for an overflow all the same.
    rlimit limit{};
    const std::uintptr_t guard = 1024 * 1024;
    stackReach = ::getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                         limit.rlim_cur < 1024 * guard
                     ? static_cast<std::uintptr_t>(limit.rlim_cur) + guard
                     : 1024 * guard;

    struct sigaction action {};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
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

void markPluginCall(bool inside) {
    insidePlugin = inside ? 1 : 0;
    stackAtCall = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

}  // namespace vhost
