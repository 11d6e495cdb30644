// module_record.h - the version record a component module carries, read
// from its file before the module is loaded: on ELF platforms the section
// ".vesk_version" (NUL-separated "key=value" texts), on Windows the strings
// of the version resource.
#ifndef VESK_HOST_PLUGINS_MODULE_RECORD_H
#define VESK_HOST_PLUGINS_MODULE_RECORD_H

#include <map>
#include <string>

namespace vhost {

struct ModuleRecord {
    bool module = false;                        // a shared library of this platform's format
    std::map<std::string, std::string> fields;  // by key; empty without a record
};

ModuleRecord readModuleRecord(const std::string& path);

// The field of the record that names the host ABI the module was built for.
extern const char* const hostAbiField;

}  // namespace vhost

#endif  // VESK_HOST_PLUGINS_MODULE_RECORD_H
