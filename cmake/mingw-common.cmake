# Shared part of the MinGW-w64 cross toolchains. The including file sets
# VARNIK_MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)

# The "posix" thread model is the one with std::thread and std::mutex.
find_program(VARNIK_MINGW_CXX NAMES ${VARNIK_MINGW_TRIPLE}-g++-posix ${VARNIK_MINGW_TRIPLE}-g++
             REQUIRED)
find_program(VARNIK_MINGW_CC NAMES ${VARNIK_MINGW_TRIPLE}-gcc-posix ${VARNIK_MINGW_TRIPLE}-gcc
             REQUIRED)
set(CMAKE_CXX_COMPILER ${VARNIK_MINGW_CXX})
set(CMAKE_C_COMPILER ${VARNIK_MINGW_CC})
set(CMAKE_RC_COMPILER ${VARNIK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARNIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Header-only libraries of the build machine serve the Windows build too
# (vesk-host writes its JSON with nlohmann-json).
if(EXISTS /usr/include/nlohmann/json.hpp AND
   EXISTS /usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
  # A plain variable, so that it wins over a cache entry of an earlier run.
  set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/header-only/nlohmann_json)
endif()

# Every module carries its own copy of the compiler's runtime, so a host
# loads Varnik.dll and vesk_string.dll with nothing but system DLLs beside
# them.
set(VARNIK_MINGW_STATIC_RUNTIME "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${VARNIK_MINGW_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${VARNIK_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${VARNIK_MINGW_STATIC_RUNTIME}")

# Test programs run under Wine, each build with a Wine prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run ${CMAKE_BINARY_DIR}/wine)
