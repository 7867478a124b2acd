#include "progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string trail(const std::vector<std::uint32_t>& reports) {
    last_percent = 0;
    testing::internal::CaptureStdout();
    for (std::uint32_t percent : reports)
        print_progress(percent);
    return testing::internal::GetCapturedStdout();
}

TEST(ProgressTrail, EdgeCases) {
    EXPECT_EQ(trail({0, 0}), "");
    EXPECT_EQ(trail({20, 20, 20}), "20%\n");
    EXPECT_EQ(trail({19, 20, 21}), ".20%\n.");
    EXPECT_EQ(trail({40, 20}), "40%\n20%\n");
    EXPECT_EQ(trail({20, 0}), "20%\n0%\n");
    EXPECT_EQ(trail({51, 100}), ".100%\n");
    EXPECT_EQ(trail({100, 100}), "100%\n");
}

TEST(ProgressTrail, TwoHundredBlockImage) {
    // 102,400 bytes: block n reports n / 2, and the empty block 201 reports 100 once more.
    std::vector<std::uint32_t> reports;
    for (std::uint32_t block = 1; block <= 200; ++block)
        reports.push_back(block * 512 * 100 / 102400);
    reports.push_back(100);
    std::string expected;
    for (int step = 20; step <= 100; step += 20)
        expected += std::string(38, '.') + std::to_string(step) + "%\n";
    EXPECT_EQ(trail(reports), expected);
}

} // namespace
