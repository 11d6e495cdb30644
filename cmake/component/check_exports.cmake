# Fails the build of a component module that does not export exactly its
# factory, load_vesk_client_script: a host finds nothing else, and a module
# that exports more (or the factory under a C++ name) fails only when loaded.
#   cmake -DMODULE=file -DNM=nm -DOBJDUMP=objdump -P check_exports.cmake
set(factory load_vesk_client_script)
get_filename_component(module_name "${MODULE}" NAME)
set(exported)
if(MODULE MATCHES "\\.dll$")
  if(NOT OBJDUMP)
    message(STATUS "${module_name}: no objdump, exports not checked")
    return()
  endif()
  execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  # The names follow the heading of the export name table.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\][^\n]*\n)*)" table "${listing}")
  string(REGEX MATCHALL "\\][ \t]+[^ \t\n]+" names "${CMAKE_MATCH_1}")
  foreach(name IN LISTS names)
    string(REGEX REPLACE "^\\][ \t]+" "" name "${name}")
    list(APPEND exported ${name})
  endforeach()
else()
  if(NOT NM)
    message(STATUS "${module_name}: no nm, exports not checked")
    return()
  endif()
  execute_process(COMMAND ${NM} -D --defined-only ${MODULE} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
      list(APPEND exported ${CMAKE_MATCH_1})
    endif()
  endforeach()
endif()
if(failed)
  message(FATAL_ERROR "${module_name}: cannot list its exports")
endif()
if(NOT exported STREQUAL factory)
  if(exported)
    list(JOIN exported ", " listed)
  else()
    set(listed "nothing")
  endif()
  # No module is left behind for a host to load.
  file(REMOVE ${MODULE})
  message(FATAL_ERROR
    "${module_name} must export exactly its factory ${factory}, but exports ${listed}. "
    "Define it with VESK_DECLARE_COMPONENT(YourClass), or as "
    "extern \"C\" VESK_PLUGIN_EXPORT vesk_client_callback* ${factory}("
    "vesk_client_callback* host, const char* panelPath).")
endif()
