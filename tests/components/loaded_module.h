// loaded_module.h - the built plug-in, loaded as a host loads it.
#ifndef LOADED_MODULE_H
#define LOADED_MODULE_H

#include <cstdio>
#include <memory>
#include <string>

#include "vesk_host_abi.h"

// Path of the built module (from the environment the test runner sets).
std::string modulePath();

// dlopen of the module for the life of the object.
class LoadedModule {
public:
    LoadedModule();
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool loaded() const { return factory_ != nullptr; }
    const std::string& error() const { return error_; }
    // A new component; the caller owns it, like a host.
    std::unique_ptr<vesk_client_callback> create(vesk_client_callback* host, const char* panelPath);

private:
    void* handle_ = nullptr;
    vesk_factory_fn factory_ = nullptr;
    std::string error_;
};

// A configuration file for the component, named by VESK_CONFIG while the
// object lives.
class ConfigFile {
public:
    explicit ConfigFile(const std::string& contents);
    ~ConfigFile();
    void rewrite(const std::string& contents);

private:
    std::string path_;
};

#endif  // LOADED_MODULE_H
