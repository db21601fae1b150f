# The coverage build (SYSDRILLS_COVERAGE): every program counts the lines and
# branches it runs, and tests/coverage reports them. The tests and their kit
# are not counted.
add_library(coverage-exit OBJECT ${CMAKE_CURRENT_LIST_DIR}/coverage-exit.cpp)

# suitePrograms: every program as FOLDER/PROGRAM (cmake/programs.cmake).
foreach(program IN LISTS suitePrograms)
  cmake_path(GET program FILENAME target)
  # Atomic counters: charcount's and server's threads run the same lines at
  # once, and lost increments make gcov's derived branch counts negative.
  target_compile_options(${target} PRIVATE --coverage -fprofile-update=atomic)
  # A program that ends with _exit would write no counters.
  target_link_options(${target} PRIVATE --coverage -Wl,--wrap=_exit)
  target_link_libraries(${target} PRIVATE coverage-exit)
endforeach()

# Each build starts the count afresh, so that a report covers one test run:
# the build's counters go, and those kept from runs as another user.
add_custom_target(coverage-reset ALL
  COMMAND find ${PROJECT_BINARY_DIR} -name "*.gcda" -delete
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${PROJECT_BINARY_DIR}/coverage-unprivileged
  VERBATIM)
