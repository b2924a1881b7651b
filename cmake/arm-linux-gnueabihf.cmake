# Cross build for 32-bit ARM Linux (Debian armhf: ARMv7, hard float) with Debian's cross compiler,
# from an amd64 host:
#   cmake --preset armhf          (dynamic: the Debian package and the armhf suites)
#   cmake --preset armhf-static   (static: the updater the armhf guest runs)
set(TARVOLO_CROSS_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
