#include "loaded_module.h"

#include "component_fixture.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdlib>
#include <cstring>
#include <fstream>

std::string modulePath() {
    const char* path = std::getenv("VARNIK_MODULE");
    return path ? path : VARNIK_MODULE_FILE;
}

LoadedModule::LoadedModule() {
    void* symbol = nullptr;
#if defined(_WIN32)
    HMODULE module = ::LoadLibraryA(modulePath().c_str());
    handle_ = module;
    if (module == nullptr) {
        error_ = "LoadLibrary failed with error " + std::to_string(::GetLastError());
        return;
    }
    FARPROC address = ::GetProcAddress(module, VESK_FACTORY_SYMBOL);
    std::memcpy(&symbol, &address, sizeof symbol);
#else
    handle_ = dlopen(modulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        error_ = dlerror();
        return;
    }
    symbol = dlsym(handle_, VESK_FACTORY_SYMBOL);
#endif
    std::memcpy(&factory_, &symbol, sizeof factory_);
    if (factory_ == nullptr) error_ = "no factory symbol";
}

LoadedModule::~LoadedModule() {
#if defined(_WIN32)
    if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
#else
    if (handle_ != nullptr) dlclose(handle_);
#endif
}

std::unique_ptr<vesk_client_callback> LoadedModule::create(vesk_client_callback* host,
                                                           const char* panelPath) {
    if (factory_ == nullptr) return nullptr;
#if VESK_MS_LAYOUT
    // The module's objects are in Microsoft's layout, as a Windows host sees them.
    return std::unique_ptr<vesk_client_callback>(vesk_ms_create(factory_, host, panelPath));
#else
    return std::unique_ptr<vesk_client_callback>(factory_(host, panelPath));
#endif
}

ConfigFile::ConfigFile(const std::string& contents) : path_(newTemporaryFile("varnik-config")) {
    rewrite(contents);
    setTestEnvironment("VESK_CONFIG", path_.c_str());
}

ConfigFile::~ConfigFile() {
    setTestEnvironment("VESK_CONFIG", nullptr);
    std::remove(path_.c_str());
}

void ConfigFile::rewrite(const std::string& contents) {
    std::ofstream(path_, std::ios::trunc) << contents;
}

Commands requestOn(RecordingHost& host, vesk_client_callback& component, const char* key,
                   std::string* reply) {
    host.clear();
    const std::string text = parentRequestText(component, key);
    if (reply != nullptr) *reply = text;
    return host.commands;
}

Commands tickOn(RecordingHost& host, vesk_client_callback& component, int timerId) {
    host.clear();
    sendTimer(component, timerId);
    return host.commands;
}
