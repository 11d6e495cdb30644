# Cross build for 32-bit Windows with MinGW-w64 (GCC).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VARNIK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
