# What `cmake --install` puts under a prefix on Linux (the Windows DLL has
# its own flat layout, see win/dll.cmake):
#
#   lib/libplacidor.so.0.1.0, .so.0, .so   the library, its soname and link
#   include/placidor.h, placidor_escape.h  the public headers
#   lib/cmake/Placidor/                    find_package(Placidor): Placidor::placidor
#   lib/pkgconfig/placidor.pc              pkg-config --cflags --libs placidor
#   share/doc/placidor/copyright           the licence
#
# (lib is lib/<multiarch triplet> under /usr on Debian.) Nothing refers to
# the prefix by its absolute name, except placidor.pc under /usr: the tree
# can be moved or unpacked anywhere. The command line and its manual page are installed by host/.
include(CMakePackageConfigHelpers)

install(TARGETS placidor EXPORT PlacidorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/placidor.h include/placidor_escape.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(placidor_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Placidor)
install(EXPORT PlacidorTargets NAMESPACE Placidor:: DESTINATION ${placidor_cmake_dir})
configure_package_config_file(cmake/PlacidorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/PlacidorConfig.cmake INSTALL_DESTINATION ${placidor_cmake_dir})
# The soname stays libplacidor.so.0 through 0.x: any 0.y is accepted for a
# request of 0.x with y >= x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PlacidorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/PlacidorConfig.cmake ${PROJECT_BINARY_DIR}/PlacidorConfigVersion.cmake
  DESTINATION ${placidor_cmake_dir})

# pkg-config: the prefix is found from the .pc file's own folder. Under
# /usr, which only the package manager fills and never moves, the usual
# absolute paths let pkg-config leave out the system's own -I and -L.
set(placidor_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${placidor_pc_dir}" OR CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(PLACIDOR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH placidor_pc_up /${placidor_pc_dir} /)
  string(REGEX REPLACE "/$" "" placidor_pc_up "${placidor_pc_up}")
  set(PLACIDOR_PC_PREFIX "\${pcfiledir}/${placidor_pc_up}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(PLACIDOR_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(PLACIDOR_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(cmake/placidor.pc.in ${PROJECT_BINARY_DIR}/placidor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/placidor.pc DESTINATION ${placidor_pc_dir})

# The licence, in Debian's copyright file format: LICENSE's text, and what
# linking FFmpeg and x264 means for the command line.
file(READ LICENSE placidor_licence)
string(REGEX REPLACE "\n+$" "" placidor_licence "${placidor_licence}")
string(REGEX REPLACE "\n\n" "\n.\n" placidor_licence "${placidor_licence}")
string(REPLACE "\n" "\n " PLACIDOR_LICENCE_TEXT " ${placidor_licence}")
configure_file(cmake/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)
# Debian's folder name, the package's (GNUInstallDirs' default DOCDIR would
# be share/doc/Placidor).
install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/placidor)
