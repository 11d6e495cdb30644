#include "platform.h"

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vhost {

std::string executableDirectory(const char* argv0) {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameA(nullptr, path.data(),
                                                  static_cast<DWORD>(path.size()));
        if (length == 0) {
            path.assign(argv0, argv0 + std::strlen(argv0));
            break;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);  // cut short: try a larger buffer
    }
    const std::string exe(path.begin(), path.end());
    const std::size_t slash = exe.find_last_of("\\/");
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

std::string absolutePath(const std::string& path) {
    // Like realpath: only an existing path is resolved.
    if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return path;
    const DWORD size = ::GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::vector<char> full(size);
    const DWORD length = ::GetFullPathNameA(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return path;
    return std::string(full.data(), length);
}

void setEnvironment(const char* name, const std::string& value) {
    // The process environment, for a plug-in with a C runtime of its own,
    // and the C runtime's copy that getenv reads.
    ::SetEnvironmentVariableA(name, value.c_str());
    const std::string assignment = std::string(name) + "=" + value;
    ::_putenv(assignment.c_str());
}

bool standardInputIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }

bool isAbsolutePath(const std::string& path) {
    const auto separator = [](char c) { return c == '/' || c == '\\'; };
    if (!path.empty() && separator(path[0])) return true;  // rooted on the current drive, or UNC
    return path.size() > 2 && path[1] == ':' && separator(path[2]);
}

PathKind pathKind(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::Directory;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::Other;
    return PathKind::File;
}

}  // namespace vhost
