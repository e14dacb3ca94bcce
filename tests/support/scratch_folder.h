// A test fixture with a fresh folder of its own for each test, named after
// the test and the process, and removed when the test passed (a failed
// test's files stay for a look).
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>

namespace placidor::test {

class ScratchFolderTest : public ::testing::Test {
protected:
    explicit ScratchFolderTest(std::string prefix) : prefix_(std::move(prefix)) {}

    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        // A parameterised test's name has a slash: one folder, not two.
        std::string name = info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir_ = std::filesystem::path(::testing::TempDir()) /
               (prefix_ + name + "_" + std::to_string(getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) std::filesystem::remove_all(dir_);
    }

    std::filesystem::path dir_;

private:
    std::string prefix_;
};

}  // namespace placidor::test
