// diagnostics.h - the debugger output channel of the script framework.
#ifndef VESK_DIAGNOSTICS_H
#define VESK_DIAGNOSTICS_H

#include <cstddef>

// Writes `text` whole and unchanged: to the debugger (OutputDebugStringA) on
// Windows, elsewhere to standard error with a single write call, so that
// messages of several scripts never interleave within one text. No line
// break is added.
void vesk_debugOutput(const char* text, std::size_t length);

#endif  // VESK_DIAGNOSTICS_H
