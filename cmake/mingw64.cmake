# Cross build for 64-bit Windows with MinGW-w64 (GCC).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VARNIK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
