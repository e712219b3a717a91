# Installation and packages.
#
#   cmake --install BUILD --prefix PREFIX
#     Linux:   bin/parcel, bin/parcelstub, share/man/man1/parcel.1 and
#              parcelstub.1, share/doc/parcelstub/README.md and copyright,
#              and lib/parcel/parcelstub.exe, the Windows self-joining
#              program, when PARCEL_WINDOWS_STUB names one (the MinGW
#              build's); without it the package is made without that file
#     Windows: parcel.exe, parcelstub.exe, README.md, copyright.txt, all in
#              PREFIX itself (a folder to unzip and run from)
#   cpack --config BUILD/CPackConfig.cmake -B OUTDIR
#     Linux:   parcelstub_VERSION_ARCH.deb (manual pages, changelog and
#              README gzipped, dependencies from dpkg-shlibdeps, binaries
#              stripped)
#     Windows: parcelstub-VERSION-win32.zip
#
# Included at the end of the top-level CMakeLists.txt, once every program
# target is defined. The tests of the packages are registered here as well.

if(PROJECT_VERSION)
  set(PARCEL_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  set(PARCEL_PACKAGE_VERSION 1.0.0)
endif()
set(PARCEL_PACKAGE_MAINTAINER "Quonda Software <parcelon@quonda.com>"
    CACHE STRING "The Maintainer of the Debian package: name <address>")

set(parcel_programs parcelstub)
if(TARGET parcel)
  list(APPEND parcel_programs parcel)
endif()

if(WIN32)
  install(TARGETS ${parcel_programs} RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES cmake/debian/copyright DESTINATION . RENAME copyright.txt)
else()
  include(GNUInstallDirs)
  install(TARGETS ${parcel_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The Windows self-joining program, for `parcel split --stub windows`,
  # which looks for it in ../lib/parcel from its own folder. It is data
  # here (not run on Linux), hence mode 0644.
  set(PARCEL_WINDOWS_STUB "" CACHE FILEPATH
      "The Windows self-joining program (the MinGW build's parcelstub.exe) to ship; empty: none")
  if(PARCEL_WINDOWS_STUB)
    if(NOT EXISTS "${PARCEL_WINDOWS_STUB}")
      message(FATAL_ERROR "PARCEL_WINDOWS_STUB: ${PARCEL_WINDOWS_STUB} does not exist")
    endif()
    install(FILES "${PARCEL_WINDOWS_STUB}" DESTINATION lib/parcel RENAME parcelstub.exe
            PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
  install(FILES docs/man/parcel.1 docs/man/parcelstub.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# --- CPack ---------------------------------------------------------------------
set(CPACK_PACKAGE_NAME parcelstub)
set(CPACK_PACKAGE_VENDOR "Quonda Software")
set(CPACK_PACKAGE_VERSION ${PARCEL_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "${PARCEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "join and make split sets of numbered volumes")
# The long description, in lines that fit Debian's control file (CPack puts
# the summary line before it).
set(CPACK_PACKAGE_DESCRIPTION [[
parcel cuts files and directories into a set of numbered volumes
(NAME.s01, NAME.s02, ...), optionally with the first volume appended to
a self-joining program, and lists, tests and rebuilds such sets, checking
the CRC-32 of every piece.

parcelstub is the self-joining program: run beside the volumes of a set,
it rebuilds the original files in a destination folder, asking on the
console for volumes it cannot find.]])
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build[^/]*/" "/\\\\.git/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(parcel_zip_name "parcelstub-${PARCEL_PACKAGE_VERSION}-win32")
  set(CPACK_PACKAGE_FILE_NAME ${parcel_zip_name})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
  # The changelog Debian wants in a package, and the compression of it and of
  # the manual pages, done in the staging folder (a plain install keeps them
  # uncompressed).
  string(TIMESTAMP parcel_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in
                 ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
  set(CPACK_PARCEL_CHANGELOG ${CMAKE_BINARY_DIR}/debian/changelog)
  set(CPACK_PARCEL_MANDIR ${CMAKE_INSTALL_MANDIR})
  set(CPACK_PARCEL_DOCDIR ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_PARCEL_STRIP ${CMAKE_STRIP})
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/DebianStaging.cmake)
endif()
include(CPack)

# --- Tests of the packages -------------------------------------------------------
# package_build makes the package into BUILD/package-test; the others check it.
# Not in the sanitizer build, whose programs are not what is shipped. All carry
# the label "package" (ctest -L package runs them alone).
if(PARCEL_TESTS AND NOT PARCEL_SANITIZE)
  set(parcel_package_dir ${CMAKE_BINARY_DIR}/package-test)
  add_test(NAME package_build
    COMMAND ${CMAKE_COMMAND} -E env --unset=DESTDIR
            ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
            -B ${parcel_package_dir})
  set_tests_properties(package_build PROPERTIES FIXTURES_SETUP parcel_package TIMEOUT 300)
  if(TARGET parcel)
    set(parcel_expect_tool 1)
  else()
    set(parcel_expect_tool 0)
  endif()
  if(WIN32)
    add_test(NAME package_zip_contents
      COMMAND ${CMAKE_COMMAND} -DDIR=${parcel_package_dir}
              -DNAME=${parcel_zip_name} -DWITH_TOOL=${parcel_expect_tool}
              -P ${CMAKE_SOURCE_DIR}/tests/package/CheckZip.cmake)
    set_tests_properties(package_zip_contents PROPERTIES FIXTURES_REQUIRED parcel_package)
  else()
    if(PARCEL_WINDOWS_STUB)
      set(parcel_expect_windows_stub 1)
    else()
      set(parcel_expect_windows_stub 0)
    endif()
    add_test(NAME package_deb_contents
      COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/check-deb.sh
              ${parcel_package_dir} ${PARCEL_PACKAGE_VERSION} ${parcel_expect_tool}
              ${parcel_expect_windows_stub})
    set_tests_properties(package_deb_contents PROPERTIES FIXTURES_REQUIRED parcel_package TIMEOUT 120)
    add_test(NAME package_deb_lintian
      COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/lintian.sh ${parcel_package_dir})
    set_tests_properties(package_deb_lintian PROPERTIES
      FIXTURES_REQUIRED parcel_package TIMEOUT 300 SKIP_RETURN_CODE 77)
    add_test(NAME man_pages_render
      COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/check-man.sh
              ${CMAKE_SOURCE_DIR}/docs/man/parcel.1 ${CMAKE_SOURCE_DIR}/docs/man/parcelstub.1)
    set_tests_properties(man_pages_render PROPERTIES TIMEOUT 60)
  endif()
  foreach(test IN ITEMS package_build package_zip_contents package_deb_contents
                        package_deb_lintian man_pages_render)
    if(TEST ${test})
      set_property(TEST ${test} APPEND PROPERTY LABELS package)
    endif()
  endforeach()
endif()
