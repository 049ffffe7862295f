# 32-bit little-endian MIPS, Debian's mipsel.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(escape_special_triplet mipsel-linux-gnu)
set(escape_special_multiarch mipsel-linux-gnu)
set(escape_special_qemu qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
