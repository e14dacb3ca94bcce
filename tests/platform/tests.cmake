if(NOT WIN32)
  placidor_add_test(platform_tests unit platform/escape_test.cpp)
endif()
