# 64-bit RISC-V programs from Debian's cross compiler, run here through qemu-user.
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(crossTriple riscv64-linux-gnu)
set(crossQemu qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
