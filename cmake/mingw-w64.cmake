# What a Windows cross build with MinGW-w64 needs, from a Linux host, all of it following from
# TARVOLO_MINGW_TRIPLET and the processor, which the including toolchain file sets.
#
# Thread model: the win32 variant (x86_64-w64-mingw32-g++-win32 on Debian and Ubuntu). The
# program starts no threads, and with this variant a static link needs no libwinpthread at all;
# the posix variant also links statically, but drags libwinpthread into the executable. Where
# the toolchain has no such suffixes (one thread model only), the plain names are used.
set(CMAKE_SYSTEM_NAME Windows)

find_program(TARVOLO_MINGW_GCC NAMES ${TARVOLO_MINGW_TRIPLET}-gcc-win32 ${TARVOLO_MINGW_TRIPLET}-gcc REQUIRED)
find_program(TARVOLO_MINGW_GXX NAMES ${TARVOLO_MINGW_TRIPLET}-g++-win32 ${TARVOLO_MINGW_TRIPLET}-g++ REQUIRED)
find_program(TARVOLO_MINGW_WINDRES NAMES ${TARVOLO_MINGW_TRIPLET}-windres REQUIRED)

set(CMAKE_C_COMPILER ${TARVOLO_MINGW_GCC})
set(CMAKE_CXX_COMPILER ${TARVOLO_MINGW_GXX})
set(CMAKE_RC_COMPILER ${TARVOLO_MINGW_WINDRES})

# Libraries and headers come from the target's sysroot only, build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVOLO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
