# Included by cpack before it packs: the package's time stamp and maintainer,
# from the environment as Debian's own tools take them, else from the last
# commit, so that two builds of one commit make the same package.
set(source ${CPACK_SYSDRILLS_SOURCE_DIR})

if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  execute_process(COMMAND git -C ${source} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch MATCHES "^[0-9]+$")
    # Outside a clone: the date of the changelog's latest entry.
    execute_process(COMMAND dpkg-parsechangelog -l ${source}/package/changelog -S Timestamp
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()

if("$ENV{DEBEMAIL}" MATCHES "<")
  set(maintainer "$ENV{DEBEMAIL}")
elseif(NOT "$ENV{DEBEMAIL}" STREQUAL "" AND NOT "$ENV{DEBFULLNAME}" STREQUAL "")
  set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  execute_process(COMMAND git -C ${source} log -1 "--format=%an <%ae>"
                  OUTPUT_VARIABLE maintainer OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT maintainer MATCHES "^[^<]+ <[^@>]+@[^>]+>$")
  message(FATAL_ERROR "no maintainer for the package: set DEBFULLNAME and DEBEMAIL")
endif()
set(CPACK_PACKAGE_CONTACT "${maintainer}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${maintainer}")
