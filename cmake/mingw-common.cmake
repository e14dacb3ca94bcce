# Shared part of the MinGW-w64 toolchain files (mingw-i686.cmake,
# mingw-x86_64.cmake), which set CMAKE_SYSTEM_PROCESSOR,
# PLACIDOR_MINGW_TRIPLE and PLACIDOR_WINE_ARCH before including it.
#
# The posix thread model of the compilers is used: GoogleTest and the tests
# need std::thread and std::mutex, which the win32 model of GCC 12 lacks.
# Its runtime (libwinpthread), libgcc and libstdc++ are linked statically,
# so that the DLL and the test programs need only Windows system libraries.
# Programs built here run under Wine (win/wine-run.sh), which lets CTest
# run them on the build machine.
find_program(CMAKE_C_COMPILER NAMES ${PLACIDOR_MINGW_TRIPLE}-gcc-posix ${PLACIDOR_MINGW_TRIPLE}-gcc
  REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PLACIDOR_MINGW_TRIPLE}-g++-posix ${PLACIDOR_MINGW_TRIPLE}-g++
  REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PLACIDOR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PLACIDOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No MinGW runtime DLLs at run time: everything but the system libraries is
# linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Run the Windows programs (tests, test discovery at test time) under Wine,
# in a prefix of their own inside the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR
  ${CMAKE_CURRENT_LIST_DIR}/../win/wine-run.sh ${PLACIDOR_WINE_ARCH} ${CMAKE_BINARY_DIR}/wine-prefix)
