// The API fuzzer's entry point, for programs that replay inputs without
// libFuzzer.
#pragma once

#include <cstddef>
#include <cstdint>

// Runs one input; aborts with a message when a check fails.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace placidor::fuzz {

// Top-level calls made and checked so far, over all inputs.
std::int64_t checkedCalls();

}  // namespace placidor::fuzz
