# Cross build for 64-bit ARM Linux with Debian's cross compiler, from an amd64 host:
#   cmake --preset arm64          (dynamic: the Debian package and the arm64 suites)
#   cmake --preset arm64-static   (static: the updater the arm64 guest runs)
set(TARVOLO_CROSS_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
