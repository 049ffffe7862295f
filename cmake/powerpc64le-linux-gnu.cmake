# 64-bit little-endian POWER, Debian's ppc64el.
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(escape_special_triplet powerpc64le-linux-gnu)
set(escape_special_multiarch powerpc64le-linux-gnu)
set(escape_special_qemu qemu-ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
