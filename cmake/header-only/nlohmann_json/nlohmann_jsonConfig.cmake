# nlohmann-json for the cross builds: the library is header-only, so the
# build machine's copy serves any target. Only its own folder is put on the
# include path (through a link in the build tree), never the build machine's
# whole /usr/include.
set(_varnik_json_headers /usr/include/nlohmann)
set(_varnik_json_root ${CMAKE_BINARY_DIR}/header-only)
if(NOT EXISTS ${_varnik_json_root}/nlohmann/json.hpp)
  file(MAKE_DIRECTORY ${_varnik_json_root})
  file(CREATE_LINK ${_varnik_json_headers} ${_varnik_json_root}/nlohmann SYMBOLIC)
endif()
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_varnik_json_root})
endif()
