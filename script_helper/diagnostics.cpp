#include "diagnostics.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

void vesk_debugOutput(const char* text, std::size_t length) {
    if (text == nullptr || length == 0) return;
#if defined(_WIN32)
    OutputDebugStringA(text);
#else
    // Diagnostics are best effort: a closed or full stderr must not disturb
    // the script, so the result is deliberately dropped.
    const ssize_t written = ::write(2, text, length);
    (void)written;
#endif
}
