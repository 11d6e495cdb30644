// portable.h - what the tests need of the operating system, on POSIX systems
// and on Windows alike.
#ifndef VARNIK_TESTS_PORTABLE_H
#define VARNIK_TESTS_PORTABLE_H

#include <string>

// Sets `name` for this process and the modules it loaded; null unsets it.
void setTestEnvironment(const char* name, const char* value);

// Path of a new empty file in the temporary folder; the caller removes it.
std::string newTemporaryFile(const char* stem);

// The plug-ins' diagnostics output: standard error on POSIX systems, the
// debugger output (OutputDebugString) on Windows. Captures what is written
// from CaptureDiagnostics() until GetCapturedDiagnostics(), which returns it.
// Captures do not nest.
void CaptureDiagnostics();
std::string GetCapturedDiagnostics();

// True for a Windows program running under Wine, whose sockets differ from
// Windows' in details a few tests depend on.
bool RunningUnderWine();

#endif  // VARNIK_TESTS_PORTABLE_H
