# The exported functions: parameter block, state machine, analysis pass.
placidor_add_test(api_tests api
  api/params_test.cpp api/state_test.cpp api/analysis_test.cpp)
