#include "portable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>

#ifndef DBG_PRINTEXCEPTION_C
#define DBG_PRINTEXCEPTION_C 0x40010006L
#endif
#else
#include <unistd.h>
#endif

void setTestEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
    // The C runtime's copy, which getenv reads, and the process environment.
    ::SetEnvironmentVariableA(name, value);
    const std::string assignment = std::string(name) + "=" + (value ? value : "");
    ::_putenv(assignment.c_str());  // "NAME=" unsets
#else
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
#endif
}

std::string newTemporaryFile(const char* stem) {
#if defined(_WIN32)
    char folder[MAX_PATH];
    char name[MAX_PATH];
    if (::GetTempPathA(MAX_PATH, folder) == 0 || ::GetTempFileNameA(folder, stem, 0, name) == 0) {
        ADD_FAILURE() << "no temporary file";
        return std::string();
    }
    return name;
#else
    std::string pattern = testing::TempDir() + stem + "-XXXXXX";
    const int fd = ::mkstemp(&pattern[0]);
    if (fd < 0) {
        ADD_FAILURE() << "no temporary file";
        return std::string();
    }
    ::close(fd);
    return pattern;
#endif
}

#if defined(_WIN32)

namespace {

std::string captured;
PVOID handler = nullptr;

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the length (terminator
// included) and the text; the exception goes on to its usual end.
LONG CALLBACK onDebugPrint(PEXCEPTION_POINTERS pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode == static_cast<DWORD>(DBG_PRINTEXCEPTION_C) &&
        record->NumberParameters >= 2 && record->ExceptionInformation[0] > 0) {
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        if (text != nullptr) {
            captured.append(text, ::strnlen(text, record->ExceptionInformation[0] - 1));
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void CaptureDiagnostics() {
    captured.clear();
    if (handler == nullptr) handler = ::AddVectoredExceptionHandler(1, onDebugPrint);
}

std::string GetCapturedDiagnostics() {
    if (handler != nullptr) ::RemoveVectoredExceptionHandler(handler);
    handler = nullptr;
    std::string text;
    text.swap(captured);
    return text;
}

// Wine's ntdll exports its version; Windows' does not.
bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

#else

void CaptureDiagnostics() { testing::internal::CaptureStderr(); }

std::string GetCapturedDiagnostics() { return testing::internal::GetCapturedStderr(); }

bool RunningUnderWine() { return false; }

#endif
