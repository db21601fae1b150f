# Every program of the suite as FOLDER/PROGRAM, from the executables that the
# program folders define, so that a new program is checked without a list to keep.
set(suitePrograms)
set(suiteProgramDir ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
set(suiteEmulator ${CMAKE_CROSSCOMPILING_EMULATOR})
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

# programs.cmake in the build: the same list, the programs as imported
# executables and the emulator they need, for a native build that tests them
# (PROGRAM_BUILD).
set(content "set(suitePrograms \"${suitePrograms}\")\nset(suiteProgramDir \"${suiteProgramDir}\")\n")
string(APPEND content "set(suiteEmulator \"${suiteEmulator}\")\n")
foreach(program IN LISTS suitePrograms)
  get_filename_component(name ${program} NAME)
  string(APPEND content "add_executable(${name} IMPORTED)\n"
                        "set_target_properties(${name} PROPERTIES IMPORTED_LOCATION \"$<TARGET_FILE:${name}>\")\n")
endforeach()
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/programs.cmake CONTENT "${content}")
