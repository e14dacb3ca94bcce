# The Debian package, made with CPack from a build configured with the
# prefix /usr (the `deb` preset):
#
#   cmake --preset deb && cmake --build --preset deb && cpack --preset deb
#
# gives build/deb/placidor_<version>_<arch>.deb: the library, headers,
# CMake and pkg-config files and, with PLACIDOR_BUILD_HOST, the command line
# and its manual page. Its dependencies are worked out by dpkg-shlibdeps
# (dpkg-dev) from the binaries: Debian's runtime library packages.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  # CPack installs under /usr in any case; the libraries' folder, though,
  # is chosen here, where Debian's is lib/<triplet> for /usr only.
  set(placidor_deb_note " (configure with -DCMAKE_INSTALL_PREFIX=/usr, or the deb preset, for a Debian package)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME placidor)
set(CPACK_PACKAGE_VENDOR "The Placidor developers")
set(CPACK_PACKAGE_CONTACT "The Placidor developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "video stabilisation engine and command line")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[Placidor measures a video's camera shake by block matching, smooths the
camera path, limits the corrections to the crop the host allows and
returns for every frame the clip rectangle that removes the shake.

This package holds the engine's shared library (libplacidor.so.0) with its
C headers, CMake package (find_package(Placidor)) and pkg-config file, and
the placidor command line, which stabilises video files with FFmpeg's
libraries, zimg and x264.]=])
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The command line's own library comes with it: dpkg-shlibdeps finds it
# in the build tree, not among the installed packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
# A shlibs file (libplacidor 0 placidor (>= version)) for packages built
# against this one; the maintainer scripts run ldconfig.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
if(placidor_deb_note)
  message(STATUS "Placidor: CMAKE_INSTALL_PREFIX is ${CMAKE_INSTALL_PREFIX}${placidor_deb_note}")
endif()
