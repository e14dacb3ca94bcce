# Motion estimation: conversion, score, cache and search semantics (unit),
# and every instruction-set kernel and fast search path against the
# reference (simd).
placidor_add_test(motion_tests unit
  motion/block_bounds_test.cpp motion/frame_convert_test.cpp motion/score_test.cpp
  motion/search_test.cpp)
placidor_add_test(motion_simd_tests simd
  motion/x86/score_kernels_test.cpp motion/search_equivalence_test.cpp
  motion/frame_convert_kernels_test.cpp)
