# The command line: option parsing and the camera-path reports against the
# engine, and end-to-end runs of the built placidor binary on generated
# clips with audio (FFmpeg's ffprobe checks the files it writes).
if(PLACIDOR_BUILD_HOST)
  # Running the built binary from a test: Result, slurp, capture.
  add_library(placidor_test_process STATIC support/process.cpp)
  target_link_libraries(placidor_test_process PUBLIC GTest::gtest)
  target_include_directories(placidor_test_process PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

  placidor_add_test(host_unit_tests unit
    host/options_test.cpp host/camera_path_test.cpp host/measure_test.cpp host/worker_test.cpp)
  target_link_libraries(host_unit_tests PRIVATE placidor_host_core)

  placidor_add_test(host_analysis_tests cli host/analysis_test.cpp)
  target_link_libraries(host_analysis_tests PRIVATE placidor_host_media)

  placidor_add_test(host_cli_tests cli host/cli_test.cpp)
  target_link_libraries(host_cli_tests PRIVATE placidor_test_process)
  target_compile_definitions(host_cli_tests PRIVATE
    PLACIDOR_CLI_PATH="$<TARGET_FILE:placidor_cli>")
  add_dependencies(host_cli_tests placidor_cli)
endif()

# The command line over a sweep of frame sizes and codecs, with each of its
# buffers ending at an inaccessible page (and large frames from the heap).
if(PLACIDOR_BUILD_HOST)
  placidor_add_test(host_frame_size_tests cli host/frame_sizes_test.cpp)
  target_link_libraries(host_frame_size_tests PRIVATE placidor_host_media placidor_test_process)
  target_compile_definitions(host_frame_size_tests PRIVATE
    PLACIDOR_CLI_PATH="$<TARGET_FILE:placidor_cli>")
  add_dependencies(host_frame_size_tests placidor_cli)
endif()
