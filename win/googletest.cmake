# GoogleTest for the win32 build: compiled from Debian's sources
# (package googletest) with the cross compiler, since no MinGW build of it
# is packaged. Provides the targets find_package(GTest) would.
set(PLACIDOR_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
  "GoogleTest sources built for cross-compiled tests")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${PLACIDOR_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Third-party code: its warnings are not ours to fix.
foreach(target gtest gtest_main)
  target_compile_options(${target} PRIVATE -w)
endforeach()
# Recent GoogleTest sources define the GTest:: aliases themselves.
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

# GCC 12 for i686 at -O2 reports array subscripts it cannot bound (a known
# false positive of -Warray-bounds with loops over constant tables in the
# tests); keep it visible, but not fatal, in the test programs only.
add_compile_options(-Wno-error=array-bounds)
