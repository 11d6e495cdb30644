// On Windows a plug-in's diagnostics go to OutputDebugStringA, which raises
// DBG_PRINTEXCEPTION_C (or, from OutputDebugStringW, first the wide
// DBG_PRINTEXCEPTION_WIDE_C) with the text as its arguments. A vectored
// exception handler, present only between begin() and end(), copies the text
// and lets the exception go on as usual, so a debugger still sees it.
//
// The members of the POSIX implementation keep their meaning loosely here:
// file_ is 0 once capture is enabled (-1 otherwise), saved_ is 1 between
// begin() and end().
#include "diagnostic_capture.h"

#include <windows.h>

#include <cstring>

#ifndef DBG_PRINTEXCEPTION_C
#define DBG_PRINTEXCEPTION_C 0x40010006L
#endif
#ifndef DBG_PRINTEXCEPTION_WIDE_C
#define DBG_PRINTEXCEPTION_WIDE_C 0x4001000AL
#endif

namespace vhost {

namespace {

// One capture runs at a time, on the host's thread.
std::string captured;
PVOID handler = nullptr;
// OutputDebugStringW falls back to the narrow exception when nobody took the
// wide one; the text is then already captured.
bool narrowCopyFollows = false;

void appendWide(const wchar_t* text, std::size_t length) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                           nullptr, nullptr);
    if (size <= 0) return;
    const std::size_t at = captured.size();
    captured.resize(at + static_cast<std::size_t>(size));
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &captured[at], size, nullptr,
                          nullptr);
}

LONG CALLBACK onException(PEXCEPTION_POINTERS pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    // Arguments: length including the terminator, then the text.
    const std::size_t size = static_cast<std::size_t>(record->ExceptionInformation[0]);
    const void* text = reinterpret_cast<const void*>(record->ExceptionInformation[1]);
    if (record->ExceptionCode == static_cast<DWORD>(DBG_PRINTEXCEPTION_WIDE_C)) {
        if (text != nullptr && size > 0) {
            const wchar_t* wide = static_cast<const wchar_t*>(text);
            appendWide(wide, ::wcsnlen(wide, size - 1));
        }
        narrowCopyFollows = true;
    } else if (record->ExceptionCode == static_cast<DWORD>(DBG_PRINTEXCEPTION_C)) {
        if (narrowCopyFollows) {
            narrowCopyFollows = false;
        } else if (text != nullptr && size > 0) {
            const char* narrow = static_cast<const char*>(text);
            captured.append(narrow, ::strnlen(narrow, size - 1));
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void writeToStandardError(const std::string& text) {
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

DiagnosticCapture::DiagnosticCapture(bool enabled) {
    if (enabled) file_ = 0;
}

DiagnosticCapture::~DiagnosticCapture() { end(); }

void DiagnosticCapture::begin() {
    if (file_ < 0 || saved_ > 0) return;
    handler = ::AddVectoredExceptionHandler(1, onException);
    if (handler == nullptr) return;
    narrowCopyFollows = false;
    saved_ = 1;
}

bool DiagnosticCapture::mayHaveWritten() const { return !captured.empty(); }

std::string DiagnosticCapture::take() {
    std::string text;
    text.swap(captured);
    return text;
}

void DiagnosticCapture::end() {
    if (saved_ <= 0) return;
    ::RemoveVectoredExceptionHandler(handler);
    handler = nullptr;
    saved_ = -1;
    captured.clear();
}

void DiagnosticCapture::releaseAfterCrash() {
    if (handler == nullptr) return;
    ::RemoveVectoredExceptionHandler(handler);
    handler = nullptr;
    writeToStandardError(captured);
    captured.clear();
}

}  // namespace vhost
