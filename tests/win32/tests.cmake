# The library as a host sees it: its export table, and a C host program
# that loads it and drives it. In the Windows builds (win32, win64) the host
# is a Windows program run under Wine and its results must equal, bit for
# bit, those of the same program built natively against the shared library.
# The export table and install checks run on the build machine itself, so
# they run even where Wine cannot run the build's programs.
#
# Included from tests/CMakeLists.txt.

set(placidor_exports_check ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(win win64)
  else()
    set(win win32)
  endif()
  add_test(NAME ${win}.exports
    COMMAND ${CMAKE_COMMAND} -DFORMAT=pe -DTOOL=${CMAKE_OBJDUMP}
      -DLIBRARY=$<TARGET_FILE:Placidor> -P ${placidor_exports_check})
  set_tests_properties(${win}.exports PROPERTIES LABELS ${win})

  add_test(NAME ${win}.install
    COMMAND ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR}
      -DPREFIX=${CMAKE_CURRENT_BINARY_DIR}/install-check -DSOURCE=${PROJECT_SOURCE_DIR}
      -P ${CMAKE_CURRENT_LIST_DIR}/check_install.cmake)
  set_tests_properties(${win}.install PROPERTIES LABELS ${win})

  # Where the native build left its results; by default those of the
  # native debug preset.
  set(PLACIDOR_NATIVE_DUMP ${PROJECT_SOURCE_DIR}/build/debug/dll_host.native.dump CACHE FILEPATH
    "Results of dll_host_native that the Windows host must reproduce bit for bit")

  # Next to Placidor.dll, which it loads as a Windows host does, from the
  # program's own folder.
  add_executable(dll_host ${CMAKE_CURRENT_LIST_DIR}/dll_host.c)
  target_include_directories(dll_host PRIVATE ${PROJECT_SOURCE_DIR}/include)
  set_target_properties(dll_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  add_dependencies(dll_host Placidor)
  # Under Wine the root of the Unix file system is drive Z:.
  add_test(NAME ${win}.dll_host
    COMMAND dll_host --dump dll_host.${win}.dump --compare Z:${PLACIDOR_NATIVE_DUMP}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
  # The same host linked through the import library, as a host built with
  # libPlacidor.dll.a is: the loader resolves the imports by name.
  add_executable(dll_host_linked ${CMAKE_CURRENT_LIST_DIR}/dll_host.c)
  target_compile_definitions(dll_host_linked PRIVATE DLL_HOST_LINKED)
  target_link_libraries(dll_host_linked PRIVATE Placidor)
  set_target_properties(dll_host_linked PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  add_test(NAME ${win}.dll_host_linked
    COMMAND dll_host_linked --dump dll_host_linked.${win}.dump --compare Z:${PLACIDOR_NATIVE_DUMP}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
  # The first run under Wine creates its prefix, which takes a while.
  set_tests_properties(${win}.dll_host ${win}.dll_host_linked PROPERTIES LABELS ${win} TIMEOUT 600)
  if(NOT PLACIDOR_RUN_WINDOWS_TESTS)
    set_tests_properties(${win}.dll_host ${win}.dll_host_linked PROPERTIES DISABLED TRUE)
  endif()
else()
  add_test(NAME api.exports
    COMMAND ${CMAKE_COMMAND} -DFORMAT=elf -DTOOL=${CMAKE_NM}
      -DLIBRARY=$<TARGET_FILE:placidor> -P ${placidor_exports_check})
  set_tests_properties(api.exports PROPERTIES LABELS api)

  add_executable(dll_host_native ${CMAKE_CURRENT_LIST_DIR}/dll_host.c)
  target_link_libraries(dll_host_native PRIVATE placidor m)
  add_test(NAME api.dll_host_native COMMAND dll_host_native)
  set_tests_properties(api.dll_host_native PROPERTIES LABELS api)

  # The reference results for the Windows build, written by every build so
  # that they exist before the win32 tests run. Failed checks are reported
  # by the test above, not here.
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/dll_host.native.dump
    COMMAND dll_host_native --report-only --dump ${PROJECT_BINARY_DIR}/dll_host.native.dump
    DEPENDS dll_host_native placidor
    COMMENT "Recording the native results of dll_host")
  add_custom_target(dll_host_native_dump ALL DEPENDS ${PROJECT_BINARY_DIR}/dll_host.native.dump)
endif()
