# Documentation files of every install, and the Debian package that CPack makes
# from the install rules (cpack -G DEB in a build configured for /usr; see
# scripts/package-deb.sh).
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
file(GLOB kr2270_doc_pages ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${kr2270_doc_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The HTML reference, when `cmake --build BUILD --target docs` made it.
install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/html/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/html OPTIONAL)

if(WIN32)
  return()
endif()

set(kr2270_maintainer "kr2270c developers <dev@kr2270c.invalid>")
string(TIMESTAMP kr2270_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(DEFINED ENV{SOURCE_DATE_EPOCH})  # reproducible packages take the date given
  set(kr2270_changelog_date "")
  execute_process(COMMAND date -u -R -d @$ENV{SOURCE_DATE_EPOCH}
                  OUTPUT_VARIABLE kr2270_changelog_date OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
              ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kr2270c)
set(CPACK_PACKAGE_VENDOR "kr2270c developers")
set(CPACK_PACKAGE_CONTACT "${kr2270_maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver library for the KR2270C data-acquisition module")
# CPack puts the summary in front as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Host-side driver for the KR2270C Ethernet data-acquisition module (8 analog
inputs, digital inputs and outputs, counters, encoders, pulse outputs):
the shared library libkr2270c with its C header, pkg-config and CMake
package files; the command-line tool kr2270 (snapshots, acquisition,
recording, replay, outputs, a live view in the browser); the simulated
module kr2270-sim; and the Python package kr2270.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # libc6, libstdc++6, libmodbus5 ... from the binaries
# The shlibs entry for packages built against the library, and dpkg's
# ldconfig trigger (CPack's own choice, ldconfig in the maintainer scripts,
# is what Debian asks packages not to do).
file(WRITE ${PROJECT_BINARY_DIR}/debian/shlibs
     "libkr2270c ${PROJECT_VERSION_MAJOR} kr2270c (>= ${PROJECT_VERSION})\n")
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/shlibs ${PROJECT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-h5py, python3-matplotlib")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
