# What a Linux cross build with Debian's cross compiler needs, from an amd64 host, all of it
# following from TARVOLO_CROSS_TRIPLET, which the including toolchain file sets (aarch64-linux-gnu,
# arm-linux-gnueabihf). The programs built run on this host through qemu-user, started explicitly
# as CMake's crossing emulator, so that neither the tests nor the package check depend on
# binfmt_misc, which CI machines without systemd do not register.

string(REGEX MATCH "^[^-]+" TARVOLO_CROSS_CPU ${TARVOLO_CROSS_TRIPLET})
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TARVOLO_CROSS_CPU})

find_program(TARVOLO_CROSS_GXX NAMES ${TARVOLO_CROSS_TRIPLET}-g++ REQUIRED)
set(CMAKE_CXX_COMPILER ${TARVOLO_CROSS_GXX})

# Debian's multiarch layout: the target's libraries and CMake packages (libc6:arm64,
# libgtest-dev:arm64, ...) under /usr/lib/<triplet>, the headers they share in /usr/include; the
# cross compiler's own runtime under /usr/<triplet>. No host library can be picked up: the
# library directories searched are the triplet's.
set(CMAKE_LIBRARY_ARCHITECTURE ${TARVOLO_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${TARVOLO_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Debian architecture name (arm64), for the packages' file names and Architecture field and
# for dpkg-shlibdeps, which otherwise assume the host's.
execute_process(COMMAND dpkg-architecture -t${TARVOLO_CROSS_TRIPLET} -qDEB_HOST_ARCH
  OUTPUT_VARIABLE TARVOLO_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)

# qemu-user runs a dynamic program with the target's own runtime as Debian installs it beside the
# host's (libc6:arm64, ...), where its loader and ld.so.cache find it. The cross compiler's copy
# under /usr/<triplet> (qemu's -L) is not used: with it a fork under qemu 7.2 never returns.
find_program(TARVOLO_QEMU_USER NAMES qemu-${TARVOLO_CROSS_CPU} qemu-${TARVOLO_CROSS_CPU}-static)
if(TARVOLO_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVOLO_QEMU_USER})
endif()
