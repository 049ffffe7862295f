# 64-bit little-endian MIPS, Debian's mips64el.
set(CMAKE_SYSTEM_PROCESSOR mips64)
set(escape_special_triplet mips64el-linux-gnuabi64)
set(escape_special_multiarch mips64el-linux-gnuabi64)
set(escape_special_qemu qemu-mips64el)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
