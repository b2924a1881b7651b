# What `cmake --install` puts in place and what `cpack` makes of it: the operators' zip on Windows,
# two Debian packages on Linux (the updater; the loader emulator, a tool for testing).

set(CPACK_PACKAGE_NAME tarvolo_updater)
set(CPACK_PACKAGE_VENDOR "Tarvolo updater maintainers")
# Operators have no use for symbols, and the static runtime of the .exe brings a lot of them.
set(CPACK_STRIP_FILES ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# cpack runs in its own process, with the environment of whoever started it: archive members are
# dated with the commit, whatever that environment says.
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack_project_config.cmake.in
  ${PROJECT_BINARY_DIR}/cpack_project_config.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack_project_config.cmake)

if(WIN32)
  # Notepad on older Windows shows a file with bare line feeds as one long line.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/OPERATOR_README.txt ${PROJECT_BINARY_DIR}/OPERATOR_README.txt
    @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS tarvolo_updater RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/OPERATOR_README.txt DESTINATION .)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tarvolo V.6 firmware updater")
  set(CPACK_GENERATOR ZIP)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)

set(TARVOLO_DEB_MAINTAINER "Tarvolo updater maintainers <tarvolo-updater@example.com>"
  CACHE STRING "Maintainer field of the Debian packages")

# The changelog's trailer line dates the release with the commit (see reproducible.cmake).
string(TIMESTAMP TARVOLO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

# One Debian package per component: component, package name, program, section, summary.
set(TARVOLO_DEB_COMPONENTS updater loader_emulator)
set(updater_package tarvolo-updater)
set(updater_program tarvolo_updater)
set(loader_emulator_package tarvolo-loader-emulator)
set(loader_emulator_program tarvolo_loader_emulator)

foreach(component IN LISTS TARVOLO_DEB_COMPONENTS)
  set(package ${${component}_package})
  set(program ${${component}_program})
  # An operator's install is the updater; the emulator, which impersonates a device, comes only
  # when asked for by name (cmake --install ... --component loader_emulator).
  if(component STREQUAL "updater")
    set(exclude "")
  else()
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component} ${exclude})

  configure_file(${PROJECT_SOURCE_DIR}/packaging/man/${program}.1.in ${PROJECT_BINARY_DIR}/man/${program}.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT ${component} ${exclude})

  # Debian's places for the licence and the history; the .deb gets the history compressed.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/doc/${package}/changelog @ONLY)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_BINARY_DIR}/doc/${package}/changelog
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component} ${exclude})

  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_SHLIBDEPS ON)
  # Only what dpkg-shlibdeps finds.
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_DEPENDS "")
endforeach()

set(CPACK_DEBIAN_UPDATER_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_UPDATER_DESCRIPTION "firmware updater for the Tarvolo V.6 over a serial port
tarvolo_updater writes a new firmware image into a Tarvolo V.6 device
through a serial (COM) port. The operator answers two questions, the
COM port number and the image file, and presses a key; the program
erases the device, writes the 120 pages of the image with a page
counter and reports the device's final answer.

COM port n is the device /dev/ttyS<n-1>, or the file comn in the
directory named by the environment variable TARVOLO_COM_DIR, so that
a USB serial adapter can be linked there under a stable name.")

set(CPACK_DEBIAN_LOADER_EMULATOR_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_LOADER_EMULATOR_DESCRIPTION "Tarvolo V.6 loader emulator for testing tarvolo_updater
tarvolo_loader_emulator plays the device's side of a firmware update
on a pseudo-terminal, published as a COM port link for tarvolo_updater.
It checks every frame and checksum it receives, writes the received
image to a file, keeps a transcript, and can be told to misbehave at
any reply (silence, wrong status, short or garbled replies, hang-up)
to test how the updater copes.")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TARVOLO_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVOLO_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A cross build's packages are for the target (the toolchain file names its Debian architecture);
# cpack would otherwise take the host's from dpkg, and dpkg-shlibdeps look for the host's libraries.
if(TARVOLO_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TARVOLO_DEB_ARCH})
endif()
# Debian compresses man pages and changelogs with gzip -9n (no name, no time stamp) in the package.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_compress_docs.cmake)
include(CPack)

# The packages as a user gets them: unpacked, checked by lintian and groff, and used for a complete
# update (tests/package/deb_test.sh). Only builds that could be shipped: a package of the
# sanitizer or fuzz build would check binaries nobody installs. A cross build's packages are
# checked as well, their programs run through the toolchain's emulator.
if(BUILD_TESTING AND (NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR)
    AND NOT TARVOLO_SANITIZE AND NOT TARVOLO_FUZZ)
  # cpack's dependency scan runs file and dpkg-shlibdeps; the checks run lintian and groff. The
  # rest of what the test uses is in Debian's essential set.
  tarvolo_suite_needs(package dpkg-shlibdeps PACKAGE dpkg-dev)
  tarvolo_suite_needs(package file PACKAGE file)
  tarvolo_suite_needs(package lintian PACKAGE lintian)
  tarvolo_suite_needs(package groff PACKAGE groff-base)
  tarvolo_suite_available(package package_suite)
  if(package_suite)
    add_test(NAME package_debs
      COMMAND ${PROJECT_SOURCE_DIR}/tests/package/deb_test.sh ${PROJECT_BINARY_DIR} ${PROJECT_VERSION}
        ${TARVOLO_DEB_ARCH} ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(package_debs PROPERTIES LABELS "package;${TARVOLO_DEB_ARCH}" TIMEOUT 300)
  endif()
endif()

# Every release artefact built twice from two clones of HEAD and compared byte for byte
# (tests/package/reproducible.sh, through scripts/release). The host's build only: it builds the
# cross targets itself. Alone, for it keeps every core busy for a minute.
if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING AND NOT TARVOLO_SANITIZE AND NOT TARVOLO_FUZZ)
  tarvolo_suite_needs(reproducible git PACKAGE git)
  tarvolo_suite_needs(reproducible x86_64-w64-mingw32-g++ PACKAGE g++-mingw-w64-x86-64)
  tarvolo_suite_needs(reproducible i686-w64-mingw32-g++ PACKAGE g++-mingw-w64-i686)
  tarvolo_suite_needs(reproducible aarch64-linux-gnu-g++ PACKAGE g++-aarch64-linux-gnu)
  tarvolo_suite_needs(reproducible arm-linux-gnueabihf-g++ PACKAGE g++-arm-linux-gnueabihf)
  tarvolo_suite_available(reproducible reproducible_suite)
  if(reproducible_suite AND package_suite)
    add_test(NAME release_reproducible COMMAND ${PROJECT_SOURCE_DIR}/tests/package/reproducible.sh)
    # Two release builds, each compiling on both cores: it takes two slots, and the suites that only
    # wait run beside it. The longest test of its suite, so it starts first (COST), not last.
    set_tests_properties(release_reproducible PROPERTIES LABELS "package;release" PROCESSORS 2 TIMEOUT 900 COST 3000)
  endif()
endif()

# The operators' README of the Windows zip quotes the program's messages as the man page does, and
# is held to them by the same check (tests/package/man_messages.sh). It needs only the shell, so
# every host build with tests runs it, the quick loop included.
if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME operator_readme_messages
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/man_messages.sh
      ${PROJECT_SOURCE_DIR}/packaging/OPERATOR_README.txt ${PROJECT_SOURCE_DIR})
  # The man page as this tree makes it, against the messages, the reasons and the banner that this
  # tree's updater writes: at every change, not only when the packages are built.
  tarvolo_suite_needs(man_page groff PACKAGE groff-base)
  tarvolo_suite_available(man_page man_page_suite)
  if(man_page_suite)
    add_test(NAME man_page_texts
      COMMAND ${PROJECT_SOURCE_DIR}/tests/package/man_messages.sh ${PROJECT_BINARY_DIR}/man/tarvolo_updater.1
        ${PROJECT_SOURCE_DIR} $<TARGET_FILE:tarvolo_updater>)
  endif()
endif()
