# Installs a win32 build into a scratch folder and checks that it holds what
# a Windows developer needs: the DLL, its .def file, the import library and
# the public header.
#
#   cmake -DBUILD=<build dir> -DPREFIX=<scratch dir> -DSOURCE=<source dir> -P check_install.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()

set(missing "")
foreach(file Placidor.dll Placidor.def libPlacidor.dll.a include/placidor.h)
  if(NOT EXISTS "${PREFIX}/${file}")
    list(APPEND missing ${file})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "not installed: ${missing}")
endif()

foreach(pair "include/placidor.h;include/placidor.h" "Placidor.def;win/Placidor.def")
  list(GET pair 0 installed)
  list(GET pair 1 original)
  file(SHA256 "${PREFIX}/${installed}" a)
  file(SHA256 "${SOURCE}/${original}" b)
  if(NOT a STREQUAL b)
    message(FATAL_ERROR "${installed} differs from ${original}")
  endif()
endforeach()

# Nothing native may slip in: the escape latch header belongs to other systems.
file(GLOB_RECURSE everything RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT everything)
set(expected Placidor.def Placidor.dll include/placidor.h libPlacidor.dll.a)
if(NOT everything STREQUAL expected)
  message(FATAL_ERROR "installed [${everything}], expected [${expected}]")
endif()
message(STATUS "installed: ${everything}")
