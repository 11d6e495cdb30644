#include "plugin_module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#endif

#include <cctype>
#include <cstring>

#include "plugins/module_imports.h"
#include "plugins/module_record.h"

namespace vhost {

namespace {

// A module records the host ABI it was compiled for (vesk_add_component
// writes it); one of another ABI is refused before any of its code runs.
// A file that is no module at all is left to the loader to name.
bool hostAbiMatches(const std::string& path, std::string& error) {
    const ModuleRecord record = readModuleRecord(path);
    if (!record.module) return true;
    const auto abi = record.fields.find(hostAbiField);
    if (abi == record.fields.end()) {
        error = path + " records no host ABI version (vesk_add_component records it); "
                       "this vesk-host takes host ABI " VESK_HOST_ABI_TEXT;
        return false;
    }
    if (abi->second != VESK_HOST_ABI_TEXT) {
        error = path + " was built for host ABI " + abi->second +
                "; this vesk-host takes host ABI " VESK_HOST_ABI_TEXT;
        return false;
    }
    return true;
}

}  // namespace

#if defined(_WIN32)

namespace {

std::string systemMessage(DWORD code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
    if (text != nullptr) ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

// After a failed load for want of a module: the DLLs that `path` imports and
// that are neither beside it nor found on the DLL search path (the host's
// folder included). System API sets are resolved by the loader itself.
std::string missingImports(const std::string& path, const std::string& folder) {
    std::string missing;
    for (const std::string& name : importedModules(path)) {
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.rfind("api-ms-", 0) == 0 || lower.rfind("ext-ms-", 0) == 0) continue;
        if (::GetFileAttributesA((folder + "\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES) {
            continue;
        }
        HMODULE found = ::LoadLibraryExA(name.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (found != nullptr) {
            ::FreeLibrary(found);
            continue;
        }
        missing += (missing.empty() ? "" : ", ") + name;
    }
    return missing;
}

// A real host keeps the modules its plug-ins import (the string library)
// beside its executable. Loading with an altered search path skips that
// folder, so it is named as the DLL folder once.
void searchHostFolder() {
    static const bool done = [] {
        char exe[MAX_PATH];
        const DWORD length = ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return false;
        std::string folder(exe, length);
        const std::size_t slash = folder.find_last_of("\\/");
        if (slash == std::string::npos) return false;
        folder.resize(slash);
        return ::SetDllDirectoryA(folder.c_str()) != 0;
    }();
    (void)done;
}

}  // namespace

PluginModule::~PluginModule() {
    if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

bool PluginModule::load(const std::string& path, std::string& error) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = "plug-in not found: " + path;
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "plug-in is not a file: " + path;
        return false;
    }
    if (!hostAbiMatches(path, error)) return false;
    // A full path with backslashes: the modules the plug-in imports (the
    // string library) are then looked for beside it first, then beside the
    // host.
    std::string target = path;
    for (char& c : target) {
        if (c == '/') c = '\\';
    }
    char full[MAX_PATH];
    const DWORD length = ::GetFullPathNameA(target.c_str(), MAX_PATH, full, nullptr);
    if (length > 0 && length < MAX_PATH) target.assign(full, length);
    // No "cannot find a DLL" box: the failure is reported here.
    searchHostFolder();
    const UINT previousMode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = ::LoadLibraryExA(target.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD why = ::GetLastError();
    ::SetErrorMode(previousMode);
    if (module == nullptr) {
        error = "cannot load " + path + " as a shared library: " + systemMessage(why);
        if (why == ERROR_MOD_NOT_FOUND) {
            const std::size_t slash = target.find_last_of('\\');
            const std::string missing = missingImports(
                target, slash == std::string::npos ? std::string(".") : target.substr(0, slash));
            error += missing.empty()
                         ? " (a DLL that one of its DLLs imports is missing)"
                         : " (it imports " + missing +
                               ", found neither beside it, beside vesk-host nor on the DLL "
                               "search path)";
        }
        return false;
    }
    FARPROC symbol = ::GetProcAddress(module, VESK_FACTORY_SYMBOL);
    if (symbol == nullptr) {
        error = path + " does not export " VESK_FACTORY_SYMBOL;
        ::FreeLibrary(module);
        return false;
    }
    handle_ = module;
    static_assert(sizeof symbol == sizeof factory_, "function pointers differ in size");
    std::memcpy(&factory_, &symbol, sizeof factory_);
    return true;
}

#else

PluginModule::~PluginModule() {
    if (handle_ != nullptr) ::dlclose(handle_);
}

bool PluginModule::load(const std::string& path, std::string& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = "plug-in not found: " + path;
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "plug-in is not a file: " + path;
        return false;
    }
    if (!hostAbiMatches(path, error)) return false;
    // A path without a slash would make dlopen search the library path.
    const std::string target = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        error = "cannot load " + path +
                " as a shared library: " + (why != nullptr ? why : "unknown reason");
        return false;
    }
    ::dlerror();
    void* symbol = ::dlsym(handle_, VESK_FACTORY_SYMBOL);
    if (symbol == nullptr) {
        error = path + " does not export " VESK_FACTORY_SYMBOL;
        ::dlclose(handle_);
        handle_ = nullptr;
        return false;
    }
    // Object pointer to function pointer: copied bytewise, as dlsym intends.
    static_assert(sizeof symbol == sizeof factory_, "function and object pointers differ in size");
    std::memcpy(&factory_, &symbol, sizeof factory_);
    return true;
}

#endif

}  // namespace vhost
