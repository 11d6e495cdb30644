# The TSL UMD bridges of vesk-host, 5.0 and 3.1 (tally lamps out, mixers in). Their
# sockets use Boost.Asio, header-only (Debian: libboost-dev). Included by
# host/CMakeLists.txt.
find_package(Threads REQUIRED)
find_path(VESK_BOOST_INCLUDE boost/asio.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT VESK_BOOST_INCLUDE)
  message(FATAL_ERROR "vesk-host needs Boost.Asio (Debian: apt-get install libboost-dev)")
endif()

add_library(vesk_asio INTERFACE)
if(CMAKE_CROSSCOMPILING)
  # The build machine's headers serve a cross build too, through a folder
  # that holds only a link to them, so no other system header is picked up.
  set(asio_root ${CMAKE_BINARY_DIR}/asio-include)
  file(MAKE_DIRECTORY ${asio_root})
  file(CREATE_LINK ${VESK_BOOST_INCLUDE}/boost ${asio_root}/boost SYMBOLIC)
  target_include_directories(vesk_asio SYSTEM INTERFACE ${asio_root})
endif()
target_compile_definitions(vesk_asio INTERFACE BOOST_ASIO_NO_DEPRECATED)
target_link_libraries(vesk_asio INTERFACE Threads::Threads)
if(WIN32)
  target_compile_definitions(vesk_asio INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)
  target_link_libraries(vesk_asio INTERFACE ws2_32 mswsock)
endif()

set(bridges_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/bridges)
# The codecs stand alone, for the fuzz targets.
add_library(vesk_tsl_codec STATIC
  ${bridges_dir}/hex_bytes.cpp
  ${bridges_dir}/malformed.cpp
  ${bridges_dir}/tsl_codec.cpp
  ${bridges_dir}/tsl31_codec.cpp)
target_include_directories(vesk_tsl_codec PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)

# The bridge core, and each protocol as a codec and its settings.
target_sources(vesk_host_core PRIVATE
  ${bridges_dir}/fields.cpp
  ${bridges_dir}/codec.cpp
  ${bridges_dir}/tsl50_protocol.cpp
  ${bridges_dir}/tsl31_protocol.cpp
  ${bridges_dir}/tsl_config.cpp
  ${bridges_dir}/out_links.cpp
  ${bridges_dir}/in_links.cpp
  ${bridges_dir}/bridge_sender.cpp
  ${bridges_dir}/bridge_receiver.cpp
  ${bridges_dir}/bridge_steps.cpp
  ${bridges_dir}/bridges.cpp)
target_link_libraries(vesk_host_core PUBLIC vesk_tsl_codec PRIVATE vesk_asio)
