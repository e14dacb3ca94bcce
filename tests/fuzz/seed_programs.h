// The seed corpus of the API fuzzer, as named byte strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace placidor::fuzz {

struct SeedProgram {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

std::vector<SeedProgram> seedPrograms();

}  // namespace placidor::fuzz
