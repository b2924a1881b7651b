# Two builds of one commit, in any two directories, give the same bytes: whatever a tool would
# take from the clock or from the checkout's location is taken from the commit instead.

# The commit's date stands for "now" (the PE header, archive members, the man pages' date). An
# exported SOURCE_DATE_EPOCH wins, as the reproducible-builds practice asks; otherwise it is read
# from git at every configure, so scripts/release, which configures each time, never ships a stale
# date.
set(TARVOLO_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(TARVOLO_SOURCE_DATE_EPOCH STREQUAL "")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE TARVOLO_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
      ERROR_QUIET RESULT_VARIABLE git_log_result)
    if(NOT git_log_result EQUAL 0)
      set(TARVOLO_SOURCE_DATE_EPOCH "")
    endif()
  endif()
endif()
if(TARVOLO_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  # string(TIMESTAMP) below reads it from the environment.
  set(ENV{SOURCE_DATE_EPOCH} "${TARVOLO_SOURCE_DATE_EPOCH}")
else()
  set(TARVOLO_SOURCE_DATE_EPOCH "")
  message(STATUS "No commit date (no git or not a checkout, SOURCE_DATE_EPOCH unset): artefacts carry the build time")
endif()
string(TIMESTAMP TARVOLO_RELEASE_DATE "%Y-%m-%d" UTC)

# No checkout or build directory in any object file (__FILE__, debug information): names are
# relative to the source tree. The later map wins for the build tree when it lies inside the
# source tree.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=build>")

# MinGW-w64's ld writes the link time into the PE header unless SOURCE_DATE_EPOCH is set, which
# a plain `cmake --build` does not do: the linker is started with it.
if(WIN32 AND TARVOLO_SOURCE_DATE_EPOCH)
  set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${TARVOLO_SOURCE_DATE_EPOCH})
endif()
