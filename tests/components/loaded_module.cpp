#include "loaded_module.h"

#include "component_fixture.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

std::string modulePath() {
    const char* path = std::getenv("VARNIK_MODULE");
    return path ? path : VARNIK_MODULE_FILE;
}

LoadedModule::LoadedModule() {
    handle_ = dlopen(modulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        error_ = dlerror();
        return;
    }
    factory_ = reinterpret_cast<vesk_factory_fn>(dlsym(handle_, VESK_FACTORY_SYMBOL));
    if (factory_ == nullptr) error_ = "no factory symbol";
}

LoadedModule::~LoadedModule() {
    if (handle_ != nullptr) dlclose(handle_);
}

std::unique_ptr<vesk_client_callback> LoadedModule::create(vesk_client_callback* host,
                                                           const char* panelPath) {
    return std::unique_ptr<vesk_client_callback>(factory_ ? factory_(host, panelPath) : nullptr);
}

ConfigFile::ConfigFile(const std::string& contents) {
    char name[] = "/tmp/varnik-config-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path_ = name;
    rewrite(contents);
    setenv("VESK_CONFIG", path_.c_str(), 1);
}

ConfigFile::~ConfigFile() {
    unsetenv("VESK_CONFIG");
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
