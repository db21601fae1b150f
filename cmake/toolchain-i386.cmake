# 32-bit x86 programs from Debian's cross compiler, run here through qemu-user.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(crossTriple i686-linux-gnu)
set(crossQemu qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
# Debian 12's qemu-i386 hangs a dynamically linked program as soon as it
# starts a thread; a static one runs.
add_link_options(-static)
