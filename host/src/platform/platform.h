// platform.h - the few operating-system services vesk-host needs, behind
// one portable face (one implementation file per platform).
#ifndef VESK_HOST_PLATFORM_PLATFORM_H
#define VESK_HOST_PLATFORM_PLATFORM_H

#include <string>

namespace vhost {

// The folder of the running executable (falls back to argv0's folder).
std::string executableDirectory(const char* argv0);
// An absolute, resolved form of `path`; `path` itself when it cannot be resolved.
std::string absolutePath(const std::string& path);
// Sets an environment variable for this process and what it loads.
void setEnvironment(const char* name, const std::string& value);
bool standardInputIsTerminal();
// True when `path` names its place without a current folder: "/x" on POSIX;
// "C:\x", "C:/x", "\\server\x" or "\x" on Windows.
bool isAbsolutePath(const std::string& path);

enum class PathKind { Missing, File, Directory, Other };
PathKind pathKind(const std::string& path);

}  // namespace vhost

#endif  // VESK_HOST_PLATFORM_PLATFORM_H
