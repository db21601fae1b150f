# 64-bit ARM programs from Debian's cross compiler, run here through qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(crossTriple aarch64-linux-gnu)
set(crossQemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
