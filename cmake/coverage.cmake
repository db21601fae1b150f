# The coverage build (SYSDRILLS_COVERAGE): every program counts the lines and
# branches it runs, and tests/coverage reports them. The tests and their kit
# are not counted.
add_library(coverage-exit OBJECT ${CMAKE_CURRENT_LIST_DIR}/coverage-exit.cpp)

get_property(folders DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY SUBDIRECTORIES)
foreach(folder IN LISTS folders)
  get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_compile_options(${target} PRIVATE --coverage)
      # A program that ends with _exit would write no counters.
      target_link_options(${target} PRIVATE --coverage -Wl,--wrap=_exit)
      target_link_libraries(${target} PRIVATE coverage-exit)
    endif()
  endforeach()
endforeach()

# Each build starts the count afresh, so that a report covers one test run:
# the build's counters go, and those kept from runs as another user.
add_custom_target(coverage-reset ALL
  COMMAND find ${PROJECT_BINARY_DIR} -name "*.gcda" -delete
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${PROJECT_BINARY_DIR}/coverage-unprivileged
  VERBATIM)
