# IBM Z, Debian's s390x: big-endian, and char is unsigned.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(escape_special_triplet s390x-linux-gnu)
set(escape_special_multiarch s390x-linux-gnu)
set(escape_special_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
