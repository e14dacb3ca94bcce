# The installed tree: `cmake --install` into a scratch prefix that is then
# moved, the installed command line, and C hosts built against it with
# find_package(Placidor) and with pkg-config.
if(PLACIDOR_BUILD_HOST AND NOT WIN32)
  add_test(NAME install.prefix
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR}
      ${CMAKE_CURRENT_BINARY_DIR}/install-test ${PROJECT_VERSION} ${CMAKE_COMMAND} ${CMAKE_C_COMPILER})
  set_tests_properties(install.prefix PROPERTIES LABELS cli TIMEOUT 600)
endif()
