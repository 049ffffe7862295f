# 64-bit Arm, Debian's arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(escape_special_triplet aarch64-linux-gnu)
set(escape_special_multiarch aarch64-linux-gnu)
set(escape_special_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
