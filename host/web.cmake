# The live web page of `vesk-host --serve` and its server. Included by
# host/CMakeLists.txt after bridges.cmake. Needs Boost.Beast beside the
# Boost.Asio the bridges use (vesk_asio; header-only, Debian: libboost-dev)
# and nlohmann-json (nlohmann-json3-dev). A Windows cross build takes the
# build machine's headers through vesk_asio's folder, which holds only the
# boost link. Where Beast does not build here the web part is left out and
# VESK_HOST_WITH_WEB stays undefined.
set(web_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/front/web)

find_package(nlohmann_json 3 QUIET)
find_package(Threads REQUIRED)

set(VESK_HOST_WEB OFF)
if(nlohmann_json_FOUND AND TARGET vesk_asio)
  include(CheckCXXSourceCompiles)
  get_target_property(web_asio_includes vesk_asio INTERFACE_INCLUDE_DIRECTORIES)
  get_target_property(web_asio_definitions vesk_asio INTERFACE_COMPILE_DEFINITIONS)
  set(CMAKE_REQUIRED_INCLUDES)
  if(web_asio_includes)
    set(CMAKE_REQUIRED_INCLUDES ${web_asio_includes})
  endif()
  set(CMAKE_REQUIRED_DEFINITIONS)
  if(web_asio_definitions)
    list(TRANSFORM web_asio_definitions PREPEND -D OUTPUT_VARIABLE CMAKE_REQUIRED_DEFINITIONS)
  endif()
  set(CMAKE_REQUIRED_LIBRARIES Threads::Threads)
  if(WIN32)
    list(APPEND CMAKE_REQUIRED_LIBRARIES ws2_32 mswsock)
  endif()
  check_cxx_source_compiles("#include <boost/asio/io_context.hpp>
    #include <boost/beast/http/parser.hpp>
    #include <boost/beast/http/string_body.hpp>
    int main() {
      boost::asio::io_context io;
      boost::beast::http::request_parser<boost::beast::http::string_body> parser;
      parser.header_limit(1024);
      return static_cast<int>(io.poll());
    }"
    VESK_HOST_BEAST_BUILDS)
  unset(CMAKE_REQUIRED_INCLUDES)
  unset(CMAKE_REQUIRED_LIBRARIES)
  unset(CMAKE_REQUIRED_DEFINITIONS)
  if(VESK_HOST_BEAST_BUILDS)
    set(VESK_HOST_WEB ON)
  endif()
endif()
set_property(GLOBAL PROPERTY VESK_HOST_WEB ${VESK_HOST_WEB})
if(NOT VESK_HOST_WEB)
  message(STATUS "vesk-host: no live web page (Boost.Beast or nlohmann-json missing, or not buildable here)")
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
  ${web_dir}/request_deadline.cpp
  ${web_dir}/camera_list.cpp
  ${web_dir}/viewer_list.cpp
  ${web_dir}/api_requests.cpp
  ${web_dir}/event_fanout.cpp
  ${web_dir}/http_session.cpp
  ${web_dir}/event_stream.cpp
  ${web_dir}/web_server.cpp
  ${web_page_source})
# The backend over the facility lives beside the server.
if(EXISTS ${web_dir}/facility_backend.cpp)
  target_sources(vesk_host_core PRIVATE ${web_dir}/facility_backend.cpp)
endif()
# The headers of the server include Beast: what uses them needs vesk_asio too.
target_link_libraries(vesk_host_core PUBLIC nlohmann_json::nlohmann_json Threads::Threads vesk_asio)
target_compile_definitions(vesk_host_core PUBLIC VESK_HOST_WITH_WEB=1)
