# 64-bit IBM Z programs (big-endian) from Debian's cross compiler, run here through qemu-user.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(crossTriple s390x-linux-gnu)
set(crossQemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
