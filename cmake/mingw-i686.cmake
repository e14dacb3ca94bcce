# Cross compilation for 32-bit Windows (Placidor.dll for 32-bit hosts) with
# Debian's MinGW-w64 i686 compilers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PLACIDOR_MINGW_TRIPLE i686-w64-mingw32)
set(PLACIDOR_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
