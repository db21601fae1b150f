# 32-bit ARM (hard float) programs from Debian's cross compiler, run here through qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(crossTriple arm-linux-gnueabihf)
set(crossQemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
