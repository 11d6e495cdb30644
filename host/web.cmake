# The live web page of `vesk-host --serve` and its server. Included by
# host/CMakeLists.txt. Needs cpp-httplib and nlohmann-json (Debian:
# libcpp-httplib-dev, nlohmann-json3-dev). Where cpp-httplib cannot be linked
# (a 32-bit or cross build against the 64-bit Debian library) the web part is
# left out and VESK_HOST_WITH_WEB stays undefined.
set(web_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/front/web)

find_package(nlohmann_json 3 QUIET)
find_package(PkgConfig QUIET)
find_package(Threads REQUIRED)
if(PkgConfig_FOUND)
  pkg_check_modules(CPPHTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
endif()

set(VESK_HOST_WEB OFF)
if(nlohmann_json_FOUND AND CPPHTTPLIB_FOUND)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_LIBRARIES PkgConfig::CPPHTTPLIB Threads::Threads)
  check_cxx_source_compiles("#include <httplib.h>
    int main() { httplib::Server server; return server.is_running() ? 1 : 0; }"
    VESK_HOST_HTTPLIB_LINKS)
  unset(CMAKE_REQUIRED_LIBRARIES)
  if(VESK_HOST_HTTPLIB_LINKS)
    set(VESK_HOST_WEB ON)
  endif()
endif()
set_property(GLOBAL PROPERTY VESK_HOST_WEB ${VESK_HOST_WEB})
if(NOT VESK_HOST_WEB)
  message(STATUS "vesk-host: no live web page (cpp-httplib or nlohmann-json missing, or not linkable here)")
  return()
endif()

# The page files become byte arrays in a generated source.
file(GLOB web_page_files CONFIGURE_DEPENDS ${web_dir}/page/*)
set(web_page_source ${CMAKE_CURRENT_BINARY_DIR}/web_page_files.cpp)
add_custom_command(OUTPUT ${web_page_source}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${web_page_source} "-DFILES=${web_page_files}"
          -P ${web_dir}/embed_page.cmake
  DEPENDS ${web_page_files} ${web_dir}/embed_page.cmake
  COMMENT "Building the live page into vesk-host"
  VERBATIM)

target_sources(vesk_host_core PRIVATE
  ${web_dir}/serve_options.cpp
  ${web_dir}/access_rules.cpp
  ${web_dir}/api_requests.cpp
  ${web_dir}/facility_queue.cpp
  ${web_dir}/event_fanout.cpp
  ${web_dir}/web_server.cpp
  ${web_page_source})
# The backend over the facility lives beside the server.
if(EXISTS ${web_dir}/facility_backend.cpp)
  target_sources(vesk_host_core PRIVATE ${web_dir}/facility_backend.cpp)
endif()
target_link_libraries(vesk_host_core PUBLIC nlohmann_json::nlohmann_json PkgConfig::CPPHTTPLIB
                      Threads::Threads)
target_compile_definitions(vesk_host_core PUBLIC VESK_HOST_WITH_WEB=1)
