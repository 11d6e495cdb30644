// module_imports.h - the DLLs a Windows module imports, read from its file,
// so that a module that cannot be loaded is reported with the DLL it lacks.
#ifndef VESK_HOST_PLUGINS_MODULE_IMPORTS_H
#define VESK_HOST_PLUGINS_MODULE_IMPORTS_H

#include <string>
#include <vector>

namespace vhost {

// The names in the import directory of the PE file at `path`, in its order;
// empty when the file is no PE module or imports nothing.
std::vector<std::string> importedModules(const std::string& path);

}  // namespace vhost

#endif  // VESK_HOST_PLUGINS_MODULE_IMPORTS_H
