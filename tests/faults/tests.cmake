if(PLACIDOR_ENGINE_TESTS)
  # Fault tests: allocation failures injected at every point of a host's call
  # sequence, and the inputs the API fuzzer once found troublesome.
  placidor_add_test(fault_tests unit
    faults/allocation_failure_test.cpp faults/failing_allocator.cpp)

  # The fuzzer's seeds and regression inputs, replayed by its harness. The
  # harness presses the native library's Escape latch, which a Windows build
  # does not have (Escape is the keyboard's there).
  if(NOT WIN32)
    placidor_add_test(fuzz_replay_tests unit
      faults/fuzz_replay_test.cpp fuzz/api_fuzzer.cpp fuzz/seed_programs.cpp)
    target_include_directories(fuzz_replay_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
    target_compile_definitions(fuzz_replay_tests PRIVATE
      PLACIDOR_FUZZ_REGRESSIONS="${CMAKE_CURRENT_SOURCE_DIR}/fuzz/regressions")
  endif()
endif()

# The command line against damaged inputs, a full disk, a read-only folder
# and interrupts (needs the ffmpeg command line; the disk groups need root
# and are skipped without it).
if(PLACIDOR_BUILD_HOST)
  foreach(group damaged full-disk read-only interrupt)
    add_test(NAME cli_faults.${group}
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/faults/cli_faults.sh $<TARGET_FILE:placidor_cli> ${group})
    set_tests_properties(cli_faults.${group} PROPERTIES
      LABELS cli SKIP_RETURN_CODE 77 TIMEOUT 600)
  endforeach()
  # Its timings assume the machine is not busy with other tests.
  set_tests_properties(cli_faults.interrupt PROPERTIES RUN_SERIAL ON)
endif()
