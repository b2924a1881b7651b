# Cross build for 32-bit Windows with MinGW-w64 from a Linux host:
#   cmake --preset windows-i686
# The .exe runs on 32-bit Windows and, through WOW64, on 64-bit Windows as well.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVOLO_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
