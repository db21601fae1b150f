# 64-bit little-endian POWER programs from Debian's cross compiler, run here through qemu-user.
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(crossTriple powerpc64le-linux-gnu)
set(crossQemu qemu-ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
