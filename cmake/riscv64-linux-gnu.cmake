# 64-bit RISC-V, Debian's riscv64.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(escape_special_triplet riscv64-linux-gnu)
set(escape_special_multiarch riscv64-linux-gnu)
set(escape_special_qemu qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
