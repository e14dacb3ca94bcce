# Cross compilation for 64-bit Windows (Placidor.dll for 64-bit hosts) with
# Debian's MinGW-w64 x86_64 compilers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PLACIDOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(PLACIDOR_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
