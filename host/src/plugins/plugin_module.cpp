#include "plugin_module.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>

namespace vhost {

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

}  // namespace vhost
