# 32-bit Arm with hardware floating point, Debian's armhf.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(escape_special_triplet arm-linux-gnueabihf)
set(escape_special_multiarch arm-linux-gnueabihf)
set(escape_special_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
