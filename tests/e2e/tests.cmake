# The engine on whole synthetic clips through the public API.
placidor_add_test(e2e_tests clip e2e/whole_clip_test.cpp)
