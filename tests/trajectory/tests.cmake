# Record lists, smoothing, clamping and clip rectangles.
placidor_add_test(trajectory_tests unit
  trajectory/record_list_test.cpp trajectory/smoothing_test.cpp trajectory/clip_rects_test.cpp)
