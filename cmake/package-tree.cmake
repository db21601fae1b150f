# Run by CPack on the staged tree before it is packed: the programs and the
# test binaries stripped as Debian strips them, the lintian overrides added,
# and the directories given
# the mode a system's own have, whatever the packager's umask, so that the
# package is the same whoever builds it and wherever.
set(tree "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(GLOB programs "${tree}/${CPACK_SYSDRILLS_BINDIR}/*" "${tree}/lib/sysdrills/tests/*_test"
     "${tree}/lib/sysdrills/tests/sandbox-init")
foreach(program IN LISTS programs)
  execute_process(COMMAND ${CPACK_SYSDRILLS_STRIP} --remove-section=.comment --remove-section=.note
                          "${program}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(MAKE_DIRECTORY "${tree}/share/lintian/overrides")
file(COPY_FILE "${CPACK_SYSDRILLS_SOURCE_DIR}/package/lintian-overrides"
     "${tree}/share/lintian/overrides/sysdrills")
file(CHMOD "${tree}/share/lintian/overrides/sysdrills"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
    file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
