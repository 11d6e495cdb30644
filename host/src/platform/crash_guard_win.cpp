// On Windows a crash is an unhandled structured exception (or abort(), which
// raises SIGABRT in the C runtime). Both end the host at once with its own
// status, after what the plug-in wrote in its last call, and never with an
// error dialog or a debugger prompt.
#include "crash_guard.h"

#include <windows.h>

#include <csignal>
#include <cstring>

#include "diagnostic_capture.h"

namespace vhost {

namespace {

volatile LONG insidePlugin = 0;

void say(const char* text) {
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(error, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

[[noreturn]] void reportAndExit(const char* cause) {
    DiagnosticCapture::releaseAfterCrash();
    say(insidePlugin != 0 ? "vesk-host: the plug-in crashed (" : "vesk-host: crashed (");
    say(cause);
    say("); the timeline above ends where it happened\n");
    ::TerminateProcess(::GetCurrentProcess(), exitPluginCrashed);
    ::ExitProcess(exitPluginCrashed);  // not reached
}

const char* causeOf(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_IN_PAGE_ERROR: return "in-page error";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION: return "arithmetic exception";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return "misaligned access";
    default: return "unhandled exception";
    }
}

LONG WINAPI onUnhandled(PEXCEPTION_POINTERS pointers) {
    reportAndExit(causeOf(pointers->ExceptionRecord->ExceptionCode));
}

void onAbort(int) { reportAndExit("aborted"); }

// A thread whose stack overflowed has next to nothing left (Wine leaves it a
// page, whatever SetThreadStackGuarantee asked for): it only wakes a thread
// that stands by for this and has a stack of its own. Where even that page
// is too little to raise the exception (64-bit Wine), the system ends the
// thread instead; the standby sees the host's thread end inside the plug-in
// and reports it, rather than leaving a program with no thread at work.
HANDLE stackOverflowed = nullptr;
HANDLE guardedThread = nullptr;

DWORD WINAPI reportStackOverflow(LPVOID) {
    const HANDLE either[] = {stackOverflowed, guardedThread};
    const DWORD count = guardedThread != nullptr ? 2 : 1;
    const DWORD woken = ::WaitForMultipleObjects(count, either, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) {
        // Ended outside a plug-in, the thread was on its way out with the host.
        if (insidePlugin == 0) return 0;
        reportAndExit("stack overflow, most likely: the thread it ran on was ended");
    }
    if (woken != WAIT_OBJECT_0) ::WaitForSingleObject(stackOverflowed, INFINITE);
    reportAndExit("stack overflow");
}

LONG CALLBACK onStackOverflow(PEXCEPTION_POINTERS pointers) {
    if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ::SetEvent(stackOverflowed);
    for (;;) ::Sleep(INFINITE);
}

}  // namespace

void installCrashGuard() {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // An overflowed stack still leaves room to report it.
    ULONG reserve = 64 * 1024;
    ::SetThreadStackGuarantee(&reserve);
    ::SetUnhandledExceptionFilter(onUnhandled);
    std::signal(SIGABRT, onAbort);
    stackOverflowed = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                           &guardedThread, SYNCHRONIZE, FALSE, 0)) {
        guardedThread = nullptr;
    }
    const HANDLE reporter =
        stackOverflowed != nullptr
            ? ::CreateThread(nullptr, 64 * 1024, reportStackOverflow, nullptr, 0, nullptr)
            : nullptr;
    if (reporter != nullptr) {
        ::CloseHandle(reporter);
        ::AddVectoredExceptionHandler(1, onStackOverflow);
    }
}

void markPluginCall(bool inside) { ::InterlockedExchange(&insidePlugin, inside ? 1 : 0); }

}  // namespace vhost
