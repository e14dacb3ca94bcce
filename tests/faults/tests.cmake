# Fault tests: allocation failures injected at every point of a host's call
# sequence, and the inputs the API fuzzer once found troublesome.
placidor_add_test(fault_tests unit
  faults/allocation_failure_test.cpp faults/failing_allocator.cpp)
