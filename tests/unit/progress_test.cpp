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

#include <csignal>
#include <thread>
#endif

namespace {

std::string trail(const std::vector<std::uint32_t>& reports) {
    last_percent = 0;
    trail_mid_line = false;
    testing::internal::CaptureStdout();
    trail_begin();
    for (std::uint32_t percent : reports)
        print_progress(percent);
    trail_end();
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
              "198.51.100.1, the address the reply named; giving up at 60 s\n");
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

// What the engine reports for an image of `size` bytes, one percentage per acknowledged block.
std::vector<std::uint32_t> reports_for(std::uint64_t size) {
    std::vector<std::uint32_t> reports;
    const std::uint64_t last = size / 512 + 1;
    for (std::uint64_t block = 1; block < last; ++block)
        reports.push_back(static_cast<std::uint32_t>(block * 512 * 100 / size));
    reports.push_back(100);
    return reports;
}

// Standard output (and with `errors_too` standard error) on a pipe of 4 KiB that nobody reads
// until drain(), which reads it while trail_end writes what is held, and puts the streams back.
struct StoppedPipe {
    int read_end = -1;
    int saved_out = -1;
    int saved_err = -1;
};

StoppedPipe stop_standard_output(bool errors_too) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    EXPECT_GE(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    std::fflush(stdout);
    StoppedPipe p{ends[0], dup(1), errors_too ? dup(2) : -1};
    dup2(ends[1], 1);
    if (errors_too)
        dup2(ends[1], 2);
    close(ends[1]);
    last_percent = 0;
    trail_mid_line = false;
    trail_begin();
    return p;
}

std::string drain(StoppedPipe& p) {
    std::string got;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(p.read_end, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<std::size_t>(n));
    });
    trail_end();
    dup2(p.saved_out, 1);
    close(p.saved_out);
    if (p.saved_err >= 0) {
        dup2(p.saved_err, 2);
        close(p.saved_err);
    }
    reader.join();
    close(p.read_end);
    return got;
}

TEST(TrailOnAStoppedStream, HeldInOrderAndWrittenWhenTheReaderReturns) {
    // 8 MiB: a trail of some 15,000 bytes, four times what the pipe holds.
    const std::vector<std::uint32_t> reports = reports_for(8u << 20);
    const std::string expected = trail(reports);
    alarm(60); // a write that waited would hang here
    StoppedPipe p = stop_standard_output(false);
    for (std::uint32_t percent : reports)
        print_progress(percent);
    alarm(0);
    EXPECT_EQ(drain(p), expected);
}

TEST(TrailOnAStoppedStream, OnlyDotsAreDroppedAndOnlyWhenItIsFull) {
    // 128 MiB: some 210,000 dots, three times what is held.
    const std::vector<std::uint32_t> reports = reports_for(128u << 20);
    alarm(60);
    StoppedPipe p = stop_standard_output(false);
    for (std::uint32_t percent : reports)
        print_progress(percent);
    alarm(0);
    std::string got = drain(p);
    EXPECT_GT(got.size(), TRAIL_HOLD_SIZE - TRAIL_LINE_RESERVE);
    EXPECT_LE(got.size(), TRAIL_HOLD_SIZE + 4096);
    std::erase(got, '.');
    EXPECT_EQ(got, "20%\n40%\n60%\n80%\n100%\n");
}

TEST(TrailOnAStoppedStream, ANoticeOnTheSameStreamKeepsItsPlace) {
    alarm(60);
    StoppedPipe p = stop_standard_output(true);
    for (int i = 0; i < 5000; ++i)
        print_progress(5);
    print_update_notice(BLOCK_57);
    print_progress(6);
    print_progress(20);
    alarm(0);
    EXPECT_EQ(drain(p), std::string(5000, '.') + described(BLOCK_57) + ".20%\n");
}

TEST(TrailOnABrokenStream, EndsTheTrailAndNothingElse) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::fflush(stdout);
    const int saved_out = dup(1);
    dup2(ends[1], 1);
    close(ends[1]);
    // The reader has gone, as after `| head -c 300`; without the hold SIGPIPE would end the test.
    close(ends[0]);
    console_hold_steady();
    testing::internal::CaptureStderr();
    trail_begin();
    for (std::uint32_t percent : reports_for(1u << 20))
        print_progress(percent);
    print_update_notice(BLOCK_57);
    trail_end();
    const std::string errors = testing::internal::GetCapturedStderr();
    console_restore();
    dup2(saved_out, 1);
    close(saved_out);
    EXPECT_EQ(errors, described(BLOCK_57));
}
#endif

} // namespace
