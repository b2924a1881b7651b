# Run by cpack between the staging install and the archive (CPACK_PRE_BUILD_SCRIPTS): a plain
# `cmake --install` leaves man pages and the changelog as they are, a Debian package carries them
# compressed the way Debian's own tools do it, gzip -9n, so that no name or time enters the file.
cmake_policy(VERSION 3.21)
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER staged INCLUDE REGEX "/share/(man/man[1-9]/[^/]+\\.[1-9]|doc/[^/]+/changelog)$")
if(NOT staged)
  message(FATAL_ERROR "no man page or changelog staged under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(doc IN LISTS staged)
  execute_process(COMMAND gzip -9nf "${doc}" RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${doc} failed: ${gzip_result}")
  endif()
endforeach()
