# Every program of the suite as FOLDER/PROGRAM, from the executables that the
# program folders define, so that a new program is checked without a list to keep.
set(suitePrograms)
get_property(folders DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY SUBDIRECTORIES)
foreach(folder IN LISTS folders)
  file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${folder})
  get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND suitePrograms ${relative}/${target})
    endif()
  endforeach()
endforeach()

# A build for another architecture says what starts its programs here, for
# the native tests that run them (SYSDRILLS_EMULATOR, tests/run).
if(CMAKE_CROSSCOMPILING_EMULATOR)
  string(JOIN " " emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
  file(WRITE ${PROJECT_BINARY_DIR}/emulator "${emulator}\n")
endif()
