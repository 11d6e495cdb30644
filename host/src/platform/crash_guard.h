// crash_guard.h - a plug-in that dies takes the host with it; this makes
// sure it leaves a trace: what the plug-in wrote in its last call reaches
// the real standard error, a line says what happened, and the host exits
// with its own status for a crash.
#ifndef VESK_HOST_PLATFORM_CRASH_GUARD_H
#define VESK_HOST_PLATFORM_CRASH_GUARD_H

namespace vhost {

// Exit status of vesk-host when the plug-in crashed it.
const int exitPluginCrashed = 3;

// Installs handlers for fatal signals (and the sanitizers' death callback).
void installCrashGuard();

// Brackets each call into a plug-in, so that a crash can be told apart from
// a fault of the host itself.
void markPluginCall(bool inside);

}  // namespace vhost

#endif  // VESK_HOST_PLATFORM_CRASH_GUARD_H
