# What the toolchain files share: Debian's cross compiler for crossTriple, its
# libraries and headers from /usr/TRIPLE, and qemu-user (crossQemu) with the
# same root to run what it builds.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${crossTriple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${crossTriple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${crossQemu} -L /usr/${crossTriple})
