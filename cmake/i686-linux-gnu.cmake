# 32-bit x86, Debian's i386.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(escape_special_triplet i686-linux-gnu)
set(escape_special_multiarch i386-linux-gnu)
set(escape_special_qemu qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
