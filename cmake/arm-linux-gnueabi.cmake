# 32-bit Arm with software floating point, Debian's armel.
set(CMAKE_SYSTEM_PROCESSOR armv5te)
set(escape_special_triplet arm-linux-gnueabi)
set(escape_special_multiarch arm-linux-gnueabi)
set(escape_special_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
