# Cross-builds with Debian's cross compiler for `escape_special_triplet`
# (package g++-<triplet>) and runs what was built under qemu-user (package
# qemu-user), with the target's libraries from their usual folder.  The
# toolchain files beside this one each name a target and include it.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${escape_special_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${escape_special_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${escape_special_multiarch})

set(CMAKE_FIND_ROOT_PATH /usr/${escape_special_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${escape_special_qemu} -L /usr/${escape_special_triplet})
