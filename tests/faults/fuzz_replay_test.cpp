// The API fuzzer's seed corpus and every input it ever failed on, replayed
// without libFuzzer: they run in every build (GCC, the sanitizer preset)
// and pass each check of the harness, which aborts on the first that fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "api_fuzzer.h"
#include "seed_programs.h"

namespace {

std::int64_t replay(const std::vector<std::uint8_t> &bytes) {
    const std::int64_t before = placidor::fuzz::checkedCalls();
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
    return placidor::fuzz::checkedCalls() - before;
}

TEST(FuzzReplay, SeedProgramsPassEveryCheck) {
    const auto seeds = placidor::fuzz::seedPrograms();
    ASSERT_GE(seeds.size(), 10u);
    for (const auto &seed : seeds) {
        SCOPED_TRACE(seed.name);
        // Each seed is a whole host session, not a stray call or two.
        EXPECT_GE(replay(seed.bytes), 2);
    }
}

TEST(FuzzReplay, RegressionInputsPassEveryCheck) {
    const std::filesystem::path dir = PLACIDOR_FUZZ_REGRESSIONS;
    int inputs = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        EXPECT_GE(replay(bytes), 1);
        ++inputs;
    }
    EXPECT_GT(inputs, 0) << "no inputs in " << dir;
}

}  // namespace
