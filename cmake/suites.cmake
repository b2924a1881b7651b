# Test suites that need a tool from outside the build: QEMU and a kernel, wine, lintian, ... A
# developer's build registers such a suite only where its tools are found and says once, at the end
# of the configure step, what it left out and which Debian packages would bring it in. With
# TARVOLO_REQUIRE_ALL_SUITES (the ci preset) the same finding fails the configure step instead, so
# that no run can pass by leaving a suite out.
#
#   tarvolo_suite_needs(<suite> <program> PACKAGE <package>...)
#       <suite> needs <program>, looked up in PATH only, as the tests and their scripts look it up,
#       at every configure step. Its full path is left in the cache variable
#       TARVOLO_PROGRAM_<program> (characters other than letters, digits and '_' turned into '_').
#   tarvolo_suite_needs(<suite> <what> FOUND <variable> [PACKAGE <package>...] [HINT <text>])
#       <suite> needs what <what> describes, and the caller's own check found it when <variable>
#       is true. HINT says what to do where no package brings it.
#   tarvolo_suite_needs(<suite> <what> EXISTS <path> [PACKAGE <package>...] [BUILT_WITH <program>] [HINT <text>])
#       The same, found when <path> exists (a file another preset builds). With BUILT_WITH, the
#       packages are named only while <program> (the compiler that builds the file) is missing:
#       once it is installed, what is missing is the build, which HINT names.
#   tarvolo_suite_available(<suite> <variable>)
#       Sets <variable> to TRUE when every need recorded for <suite> so far was met.
#   tarvolo_suites_report()
#       The one message, or with TARVOLO_REQUIRE_ALL_SUITES the one error, about every suite left
#       out; called once, after every suite has been looked at.

# The packages a need may name: those of scripts/packages.txt, which scripts/install-deps installs,
# so that a package named here is one that a fresh machine gets.
file(STRINGS ${PROJECT_SOURCE_DIR}/scripts/packages.txt tarvolo_package_lines REGEX "^[^# ]")
set(TARVOLO_KNOWN_PACKAGES "")
foreach(line IN LISTS tarvolo_package_lines)
  string(REGEX REPLACE "[ \t].*" "" package "${line}")
  list(APPEND TARVOLO_KNOWN_PACKAGES ${package})
endforeach()
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/scripts/packages.txt)

option(TARVOLO_REQUIRE_ALL_SUITES
  "Fail the configure step when a test suite lacks a tool, rather than leave the suite out" OFF)

function(tarvolo_suite_needs suite what)
  cmake_parse_arguments(PARSE_ARGV 2 need "" "FOUND;EXISTS;HINT;BUILT_WITH" "PACKAGE")
  if(need_UNPARSED_ARGUMENTS OR (NOT need_PACKAGE AND NOT need_HINT))
    message(FATAL_ERROR "tarvolo_suite_needs(${suite} ${what} ...): give PACKAGE and/or HINT, and FOUND "
      "for anything but a program; unexpected: ${need_UNPARSED_ARGUMENTS}")
  endif()

  foreach(package IN LISTS need_PACKAGE)
    if(NOT package IN_LIST TARVOLO_KNOWN_PACKAGES)
      message(FATAL_ERROR "tarvolo_suite_needs(${suite} ${what} ...): ${package} is not in scripts/packages.txt, "
        "so scripts/install-deps would never install it")
    endif()
  endforeach()

  if(DEFINED need_FOUND)
    set(found "${${need_FOUND}}")
  elseif(DEFINED need_EXISTS OR "EXISTS" IN_LIST need_KEYWORDS_MISSING_VALUES)
    set(found FALSE)
    if(need_EXISTS AND EXISTS "${need_EXISTS}")
      set(found TRUE)
    endif()
  else()
    string(MAKE_C_IDENTIFIER "TARVOLO_PROGRAM_${what}" program_variable)
    # Looked up at every configure step: a program removed since, or a PATH without it, counts.
    unset(${program_variable} CACHE)
    find_program(${program_variable} NAMES ${what} PATHS ENV PATH NO_DEFAULT_PATH)
    set(found "${${program_variable}}")
  endif()

  set_property(GLOBAL APPEND PROPERTY TARVOLO_SUITES ${suite})
  if(found)
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY TARVOLO_SUITE_${suite}_LACKS "${what}")
  if(need_BUILT_WITH)
    find_program(compiler NAMES ${need_BUILT_WITH} PATHS ENV PATH NO_DEFAULT_PATH NO_CACHE)
    if(compiler)
      set(need_PACKAGE "")
    endif()
  endif()
  set_property(GLOBAL APPEND PROPERTY TARVOLO_SUITE_PACKAGES ${need_PACKAGE})
  if(need_HINT)
    set_property(GLOBAL APPEND PROPERTY TARVOLO_SUITE_HINTS "${need_HINT}")
  endif()
endfunction()

function(tarvolo_suite_available suite variable)
  get_property(lacks GLOBAL PROPERTY TARVOLO_SUITE_${suite}_LACKS)
  if(lacks)
    set(${variable} FALSE PARENT_SCOPE)
  else()
    set(${variable} TRUE PARENT_SCOPE)
  endif()
endfunction()

function(tarvolo_suites_report)
  get_property(suites GLOBAL PROPERTY TARVOLO_SUITES)
  list(REMOVE_DUPLICATES suites)
  set(text "")
  foreach(suite IN LISTS suites)
    get_property(lacks GLOBAL PROPERTY TARVOLO_SUITE_${suite}_LACKS)
    if(lacks)
      list(JOIN lacks ", no " lacks)
      string(APPEND text "\n  ${suite}: no ${lacks}")
    endif()
  endforeach()
  if(text STREQUAL "")
    return()
  endif()

  get_property(packages GLOBAL PROPERTY TARVOLO_SUITE_PACKAGES)
  if(packages)
    list(REMOVE_DUPLICATES packages)
    list(JOIN packages " " packages)
    string(APPEND text "\nDebian packages to install: ${packages} (scripts/install-deps installs them all)")
  endif()
  get_property(hints GLOBAL PROPERTY TARVOLO_SUITE_HINTS)
  list(REMOVE_DUPLICATES hints)
  foreach(hint IN LISTS hints)
    string(APPEND text "\n${hint}")
  endforeach()

  if(TARVOLO_REQUIRE_ALL_SUITES)
    message(FATAL_ERROR "Every test suite is required here (TARVOLO_REQUIRE_ALL_SUITES), and these lack a tool or a built file:${text}")
  endif()
  message(STATUS "Test suites left out, for want of a tool or of a file another preset builds:${text}")
endfunction()
