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
# Their names, which the kit and tests/check take (tests/CMakeLists.txt).
set(suiteProgramNames)
foreach(program IN LISTS suitePrograms)
  cmake_path(GET program FILENAME name)
  list(APPEND suiteProgramNames ${name})
endforeach()

# A build for another architecture says what starts its programs here, and
# in which byte order they keep their numbers ("big" or "little"), for the
# native tests that run them and play their peers (SYSDRILLS_EMULATOR,
# SYSDRILLS_BYTE_ORDER, tests/run).
if(CMAKE_CROSSCOMPILING_EMULATOR)
  string(JOIN " " emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
  file(WRITE ${PROJECT_BINARY_DIR}/emulator "${emulator}\n")
  if(CMAKE_CXX_BYTE_ORDER STREQUAL "BIG_ENDIAN")
    file(WRITE ${PROJECT_BINARY_DIR}/byteorder "big\n")
  elseif(CMAKE_CXX_BYTE_ORDER STREQUAL "LITTLE_ENDIAN")
    file(WRITE ${PROJECT_BINARY_DIR}/byteorder "little\n")
  else()
    message(FATAL_ERROR "the compiler does not say the target's byte order")
  endif()
endif()
