#include "command_line.h"
#include "host.h"
#include "progress.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace {

std::string trail(const std::vector<std::uint32_t>& reports) {
    last_percent = 0;
    trail_mid_line = false;
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

std::uint32_t ip(const char* text) {
    std::uint32_t addr = 0;
    parse_ipv4(text, &addr);
    return addr;
}

UpdateNotice notice(NoticeKind kind, std::uint32_t block, bool last, const char* error = nullptr) {
    UpdateNotice n{};
    n.kind = kind;
    n.server_addr = ip("198.51.100.1");
    n.block = block;
    n.last_block = last;
    n.peer_addr = kind == NOTICE_NO_READ_REQUEST ? 0 : ip("198.51.100.10");
    n.peer_port = kind == NOTICE_NO_READ_REQUEST ? 0 : host_to_net16(2070);
    if (error != nullptr) {
        n.device_error.present = true;
        n.device_error.code = 3;
        std::snprintf(n.device_error.text, sizeof n.device_error.text, "%s", error);
    }
    return n;
}

const UpdateNotice NO_READ_REQUEST = notice(NOTICE_NO_READ_REQUEST, 0, false);
const UpdateNotice BLOCK_57 = notice(NOTICE_BLOCK_UNACKNOWLEDGED, 57, false);
const UpdateNotice LAST_BLOCK = notice(NOTICE_BLOCK_UNACKNOWLEDGED, 201, true);

std::string described(const UpdateNotice& notice) {
    char line[512];
    describe_notice(line, sizeof line, notice);
    return line;
}

TEST(UpdateNotice, OneLineSayingWhatStandsStillAndWhatToDo) {
    EXPECT_EQ(described(NO_READ_REQUEST),
              "QBupdate: the device took the BOOTP reply but has not asked for the image in 10 s; "
              "check that the firewall lets UDP port 69 in and that the device can reach "
              "198.51.100.1, the address the reply named; still waiting\n");
    EXPECT_EQ(described(BLOCK_57),
              "QBupdate: block 57 unacknowledged for 10 s, still resending it to "
              "198.51.100.10:2070 until the device answers; Ctrl+C stops QBupdate\n");
    EXPECT_EQ(described(LAST_BLOCK),
              "QBupdate: the last block (201) unacknowledged for 10 s, still resending it to "
              "198.51.100.10:2070; the device may already hold the whole image (its final "
              "acknowledgement is easily lost when it restarts at once): check the device "
              "before stopping QBupdate with Ctrl+C\n");
}

TEST(UpdateNotice, GoesToStandardErrorAndLeavesTheTrailAlone) {
    last_percent = 0;
    trail_mid_line = false;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    print_progress(5);
    print_update_notice(BLOCK_57);
    print_progress(6);
    print_progress(20);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "..20%\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), described(BLOCK_57));
}

#if !defined(_WIN32)
TEST(UpdateNotice, OnAConsoleItStartsOnALineOfItsOwn) {
    int console = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(console, 0);
    ASSERT_EQ(grantpt(console), 0);
    ASSERT_EQ(unlockpt(console), 0);
    int terminal = open(ptsname(console), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    std::fflush(stdout);
    const int saved_out = dup(1), saved_err = dup(2);
    dup2(terminal, 1);
    dup2(terminal, 2);
    const bool both_terminals = stream_is_terminal(stdout) && stream_is_terminal(stderr);
    last_percent = 0;
    trail_mid_line = false;
    print_update_notice(NO_READ_REQUEST); // right after the banner: no blank line
    print_progress(5);
    print_update_notice(BLOCK_57);
    print_update_notice(LAST_BLOCK);
    print_progress(20);
    std::fflush(stdout);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    close(terminal);

    std::string shown;
    char buf[4096];
    pollfd p{console, POLLIN, 0};
    while (poll(&p, 1, 200) > 0) {
        ssize_t n = read(console, buf, sizeof buf);
        if (n <= 0)
            break;
        shown.append(buf, static_cast<std::size_t>(n));
    }
    close(console);
    std::erase(shown, '\r');
    EXPECT_TRUE(both_terminals);
    EXPECT_EQ(shown, described(NO_READ_REQUEST) + ".\n" + described(BLOCK_57) +
                         described(LAST_BLOCK) + "20%\n");
}
#endif

} // namespace
