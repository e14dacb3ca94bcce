# Placidor.dll: the engine's objects, the entry point and the export table of
# win/Placidor.def. Included by the top-level CMakeLists.txt on Windows.
add_library(Placidor SHARED $<TARGET_OBJECTS:placidor_engine>
  ${CMAKE_CURRENT_LIST_DIR}/dll_main.cpp ${CMAKE_CURRENT_LIST_DIR}/Placidor.def)
target_include_directories(Placidor PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
# Placidor.dll and libPlacidor.dll.a, as Windows hosts and MinGW expect.
set_target_properties(Placidor PROPERTIES PREFIX "" OUTPUT_NAME Placidor)
# GetAsyncKeyState for the Escape key. The .def file alone decides the
# exports, including over dllexport attributes and runtime symbols.
target_link_libraries(Placidor PRIVATE user32)
target_link_libraries(placidor_engine INTERFACE user32)
target_link_options(Placidor PRIVATE -Wl,--exclude-all-symbols -Wl,--no-undefined)

install(TARGETS Placidor
  RUNTIME DESTINATION .
  ARCHIVE DESTINATION .)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/Placidor.def DESTINATION .)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/include/placidor.h DESTINATION include)
