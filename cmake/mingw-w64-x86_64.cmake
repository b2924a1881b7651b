# Cross build for 64-bit Windows with MinGW-w64 from a Linux host:
#   cmake --preset windows
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARVOLO_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
