# Where an installed tree keeps each part, relative to its root. The same
# layout serves the project's own install and components built with the kit.
#   Linux:   bin/vesk-host, lib/vesk-host/lib/libvesk_string.so (a private
#            library: only the components load it, through their run path),
#            lib/vesk-host/components/NAME/{NAME.so, panel layouts},
#            share/vesk-host/examples, share/doc/varnik
#   Windows: vesk-host.exe and vesk_string.dll side by side (Windows finds the
#            DLLs a plug-in imports in the host's folder), components/NAME/,
#            examples/, docs/
if(WIN32)
  set(VESK_INSTALL_BINDIR ".")
  set(VESK_INSTALL_PRIVATELIBDIR ".")
  set(VESK_INSTALL_COMPONENTSDIR "components")
  set(VESK_INSTALL_EXAMPLESDIR "examples")
  set(VESK_INSTALL_DOCDIR "docs")
else()
  set(VESK_INSTALL_BINDIR "bin")
  set(VESK_INSTALL_PRIVATELIBDIR "lib/vesk-host/lib")
  set(VESK_INSTALL_COMPONENTSDIR "lib/vesk-host/components")
  set(VESK_INSTALL_EXAMPLESDIR "share/vesk-host/examples")
  set(VESK_INSTALL_DOCDIR "share/doc/varnik")
endif()
set(VESK_INSTALL_LIBDIR "lib")
set(VESK_INSTALL_INCLUDEDIR "include/vesk")
set(VESK_INSTALL_CMAKEDIR "lib/cmake/VeskScriptHelper")
