# The live web page of `vesk-host --serve` and its server. Included by
# host/CMakeLists.txt. Needs Boost.Beast and Boost.Asio (header-only; Debian:
# libboost-dev) and nlohmann-json (nlohmann-json3-dev). Where they are missing
# or do not build here the web part is left out and VESK_HOST_WITH_WEB stays
# undefined.
set(web_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/front/web)

find_package(nlohmann_json 3 QUIET)
find_package(Threads REQUIRED)
find_package(Boost 1.70 QUIET)

set(VESK_HOST_WEB OFF)
if(nlohmann_json_FOUND AND Boost_FOUND)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_INCLUDES ${Boost_INCLUDE_DIRS})
  set(CMAKE_REQUIRED_LIBRARIES Threads::Threads)
  if(WIN32)
    set(CMAKE_REQUIRED_DEFINITIONS -D_WIN32_WINNT=0x0601)
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
target_include_directories(vesk_host_core SYSTEM PRIVATE ${Boost_INCLUDE_DIRS})
target_link_libraries(vesk_host_core PUBLIC nlohmann_json::nlohmann_json Threads::Threads)
target_compile_definitions(vesk_host_core PUBLIC VESK_HOST_WITH_WEB=1)
if(WIN32)
  target_compile_definitions(vesk_host_core PRIVATE _WIN32_WINNT=0x0601)
  target_link_libraries(vesk_host_core PUBLIC ws2_32 mswsock)
endif()
