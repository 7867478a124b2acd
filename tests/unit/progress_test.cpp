#include "console.h"
#include "firewall_notice.h"
#include "hang_up.h"
#include "host.h"
#include "line_check.h"
#include "notices.h"
#include "progress.h"
#include "report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#endif

namespace {

void print_trail(const std::vector<std::uint32_t>& reports) {
    for (std::uint32_t percent : reports)
        print_progress(percent);
}

std::string trail(const std::vector<std::uint32_t>& reports) {
    last_percent = 0;
    testing::internal::CaptureStdout();
    console_begin();
    print_trail(reports);
    console_end();
    return testing::internal::GetCapturedStdout();
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
    std::string expected;
    for (int step = 20; step <= 100; step += 20)
        expected += std::string(38, '.') + std::to_string(step) + "%\n";
    EXPECT_EQ(trail(reports_for(102400)), expected);
}

constexpr std::uint32_t LOCAL = host_to_net32(0xC6336401);  // 198.51.100.1
constexpr std::uint32_t DEVICE = host_to_net32(0xC633640A); // 198.51.100.10

UpdateNotice notice(NoticeKind kind, std::uint32_t block, bool last, const char* error = nullptr) {
    UpdateNotice n{};
    n.kind = kind;
    n.local_addr = LOCAL;
    n.block = block;
    n.last_block = last;
    n.peer_addr = kind == NOTICE_NO_READ_REQUEST ? 0 : DEVICE;
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
    const Said rows[] = {
        {described(NO_READ_REQUEST),
         {"10 s", "UDP port 69", "198.51.100.1, the address the reply named", "60 s"}},
        {described(BLOCK_57),
         {"block 57 unacknowledged for 10 s", "198.51.100.10:2070", "Ctrl+C stops QBupdate"}},
        {described(LAST_BLOCK),
         {"the last block (201)", "198.51.100.10:2070", "whole image", "check the device"}},
    };
    EXPECT_TRUE(all_have(rows));
}

TEST(UpdateNotice, GoesToStandardErrorAndLeavesTheTrailAlone) {
    last_percent = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    console_begin();
    NoticeContext context{"QBupdate: a start line\n", true,
                          ServingFacts{"new.bin", LOCAL, "eth0", DEVICE}};
    UpdateNotice told{};
    told.kind = NOTICE_IMAGE_OPENED;
    told.mode = UPDATE_MODE_FIRMWARE;
    take_update_notice(&context, told);
    const unsigned char image[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    UpdateNotice starts{};
    starts.kind = NOTICE_NETWORK_STARTS;
    starts.local_addr = context.serving.local_addr;
    starts.image = image;
    starts.image_size = sizeof image;
    take_update_notice(&context, starts);
    told.kind = NOTICE_PROGRESS;
    for (std::uint32_t percent : {5, 6, 20}) {
        told.percent = percent;
        take_update_notice(&context, told);
        if (percent == 5)
            take_update_notice(&context, BLOCK_57);
    }
    console_end();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " Updating QuibbleBox Firmware\n..20%\n");
    EXPECT_STREQ(banner_text(UPDATE_MODE_BOOT_AREA), " Updating QuibbleBox Boot Area\n");
    EXPECT_STREQ(banner_text('x'), " Updating QuibbleBox Firmware\n");
    // Where the system's firewall will not drop the device's datagrams, nothing is said of it.
    std::string firewall(1024, '\0');
    firewall_notice(firewall.data(), firewall.size(), starts.local_addr);
    // The start line first, with the checksums of the bytes the engine loaded.
    const std::string errors = testing::internal::GetCapturedStderr();
    const std::string start = errors.substr(0, errors.find('\n') + 1);
    EXPECT_TRUE(line_has(start, {"'new.bin' (9 bytes", "cbf43926", "198.51.100.1 on eth0",
                                 "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225",
                                 "the device at 198.51.100.10\n"}));
    EXPECT_EQ(errors.substr(start.size()),
              "QBupdate: a start line\n" + std::string(firewall.c_str()) + described(BLOCK_57));
}

TEST(HangUp, ATransferThatMovesGoesOnAStallEndsIt) {
    UpdateNotice interrupted{};
    interrupted.kind = NOTICE_WAIT_INTERRUPTED;
    UpdateNotice interrupted_at_stall = interrupted;
    interrupted_at_stall.standing_still = true;
    const struct {
        const char* name;
        UpdateNotice notice;
        bool goes_on_at_a_stall;
    } rows[] = {{"no read request", NO_READ_REQUEST, false},
                {"block 57", BLOCK_57, false},
                {"last block", LAST_BLOCK, false},
                {"interrupted at a stall", interrupted_at_stall, false},
                {"interrupted", interrupted, true},
                {"device error", notice(NOTICE_DEVICE_ERROR, 57, false, "Disk full"), true}};
    for (const auto& row : rows) {
        EXPECT_TRUE(goes_on_after(row.notice, false)) << row.name;
        EXPECT_EQ(goes_on_after(row.notice, true), row.goes_on_at_a_stall) << row.name;
    }
}

// Standard output, standard error or both on a pipe of 4 KiB that nobody reads while `writes`
// run; a stream not on the pipe goes to the null device.
enum Stopped { OUTPUT_STOPPED, ERRORS_STOPPED, BOTH_STOPPED };

#if !defined(_WIN32)
// Puts `fd` in place of standard stream `target` (1 or 2); returns a copy of what was there.
int swap_in(int fd, int target) {
    std::fflush(stdout);
    const int saved = dup(target);
    dup2(fd, target);
    return saved;
}

void put_back(int saved, int target) {
    dup2(saved, target);
    close(saved);
}

// Everything `fd` gives until its end, or until it has been quiet for `quiet_ms` (-1: no limit).
std::string read_all(int fd, int quiet_ms) {
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, quiet_ms) > 0 && (n = read(fd, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<std::size_t>(n));
    return got;
}

TEST(UpdateNotice, OnAConsoleItStartsOnALineOfItsOwn) {
    int console = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(console, 0);
    ASSERT_EQ(grantpt(console), 0);
    ASSERT_EQ(unlockpt(console), 0);
    int terminal = open(ptsname(console), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    const int saved_out = swap_in(terminal, 1), saved_err = swap_in(terminal, 2);
    const bool both_terminals =
        console_is_terminal(CONSOLE_OUT) && console_is_terminal(CONSOLE_ERR);
    last_percent = 0;
    console_begin();
    take_update_notice(nullptr, NO_READ_REQUEST); // right after the banner: no blank line
    print_progress(5);
    take_update_notice(nullptr, BLOCK_57);
    take_update_notice(nullptr, LAST_BLOCK);
    print_progress(20);
    console_end();
    put_back(saved_out, 1);
    put_back(saved_err, 2);
    close(terminal);
    std::string shown = read_all(console, 200); // a terminal's master side never ends
    close(console);
    std::erase(shown, '\r');
    EXPECT_TRUE(both_terminals);
    EXPECT_EQ(shown, described(NO_READ_REQUEST) + ".\n" + described(BLOCK_57) +
                         described(LAST_BLOCK) + "20%\n");
}

struct StoppedPipe {
    int read_end = -1, saved_out = -1, saved_err = -1;
};

// A write that waited would hang the test; the alarm ends it instead.
void watch_for_a_wait(unsigned seconds) {
    alarm(seconds);
}

StoppedPipe pipe_streams(Stopped which) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    EXPECT_GE(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    const int null = open("/dev/null", O_WRONLY);
    StoppedPipe p{ends[0], swap_in(which == ERRORS_STOPPED ? null : ends[1], 1),
                  swap_in(which == OUTPUT_STOPPED ? null : ends[1], 2)};
    close(ends[1]);
    close(null);
    return p;
}

// After the streams are back, the pipe's writer is gone and the read ends.
std::string read_pipe(StoppedPipe& p) {
    std::string got = read_all(p.read_end, -1);
    close(p.read_end);
    return got;
}

void put_streams_back(StoppedPipe& p) {
    put_back(p.saved_out, 1);
    put_back(p.saved_err, 2);
}
#else
// The same on Windows: an anonymous pipe of 4 KiB as standard output or error, whose writes
// block once it is full. The writer of the console hands them to its own thread.
struct StoppedPipe {
    HANDLE read_end = nullptr, write_end = nullptr, null = nullptr;
    HANDLE saved_out = nullptr, saved_err = nullptr;
};

// A write that waited would hang the test; the timer ends the process instead.
HANDLE watchdog = nullptr;

void watch_for_a_wait(unsigned seconds) {
    if (watchdog != nullptr)
        DeleteTimerQueueTimer(nullptr, watchdog, nullptr);
    watchdog = nullptr;
    const WAITORTIMERCALLBACK waited_too_long = [](PVOID, BOOLEAN) { ExitProcess(3); };
    if (seconds > 0)
        CreateTimerQueueTimer(&watchdog, nullptr, waited_too_long, nullptr, seconds * 1000, 0, 0);
}

StoppedPipe pipe_streams(Stopped which) {
    StoppedPipe p;
    EXPECT_TRUE(CreatePipe(&p.read_end, &p.write_end, nullptr, 4096));
    p.null =
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    p.saved_out = GetStdHandle(STD_OUTPUT_HANDLE);
    p.saved_err = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, which == ERRORS_STOPPED ? p.null : p.write_end);
    SetStdHandle(STD_ERROR_HANDLE, which == OUTPUT_STOPPED ? p.null : p.write_end);
    return p;
}

std::string read_pipe(StoppedPipe& p) {
    std::string got;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(p.read_end, buf, sizeof buf, &n, nullptr) && n > 0)
        got.append(buf, n);
    CloseHandle(p.read_end);
    std::erase(got, '\r'); // the C runtime's text mode, kept for pipes and files
    return got;
}

void put_streams_back(StoppedPipe& p) {
    SetStdHandle(STD_OUTPUT_HANDLE, p.saved_out);
    SetStdHandle(STD_ERROR_HANDLE, p.saved_err);
    CloseHandle(p.write_end);
    CloseHandle(p.null);
}
#endif

// What the pipe shows once its reader returns, while console_end writes what is held.
template <typename Writes> std::string when_read_again(Stopped which, Writes writes) {
    watch_for_a_wait(60);
    StoppedPipe p = pipe_streams(which);
    last_percent = 0;
    console_begin();
    writes();
    watch_for_a_wait(0);
    std::string got;
    std::thread reader([&] { got = read_pipe(p); });
    console_end();
    put_streams_back(p);
    reader.join();
    return got;
}

TEST(ConsoleOnAStoppedStream, HeldInOrderAndWrittenWhenTheReaderReturns) {
    // 8 MiB: a trail of some 15,000 bytes, four times what the pipe holds.
    const std::vector<std::uint32_t> reports = reports_for(8u << 20);
    const std::string expected = trail(reports);
    EXPECT_EQ(when_read_again(OUTPUT_STOPPED, [&] { print_trail(reports); }), expected);
}

TEST(ConsoleOnAStoppedStream, OnlyDotsAreDroppedAndOnlyWhenItIsFull) {
    // 128 MiB: some 210,000 dots, three times what is held.
    const std::vector<std::uint32_t> reports = reports_for(128u << 20);
    std::string got = when_read_again(OUTPUT_STOPPED, [&] { print_trail(reports); });
    EXPECT_GT(got.size(), CONSOLE_HOLD_SIZE - CONSOLE_LINE_RESERVE);
    EXPECT_LE(got.size(), CONSOLE_HOLD_SIZE + 4096);
    std::erase(got, '.');
    EXPECT_EQ(got, "20%\n40%\n60%\n80%\n100%\n");
}

TEST(ConsoleOnAStoppedStream, ANoticeOnTheSameStreamKeepsItsPlace) {
    const std::string got = when_read_again(BOTH_STOPPED, [] {
        for (int i = 0; i < 5000; ++i)
            print_progress(5);
        take_update_notice(nullptr, BLOCK_57);
        print_progress(6);
        print_progress(20);
    });
    EXPECT_EQ(got, std::string(5000, '.') + described(BLOCK_57) + ".20%\n");
}

// The start's lines wait for a stopped stream a bounded time, once, before the first beacon,
// and are written in order when it takes them.
TEST(ConsoleOnAStoppedStream, SettlingWaitsNoLongerThanItIsGiven) {
    const std::string lines(6000, 's'); // more than the pipe holds
    std::uint64_t waited = 0;
    const std::string got = when_read_again(BOTH_STOPPED, [&] {
        console_line(lines.c_str());
        const std::uint64_t began = clock_microseconds();
        console_settle(200);
        waited = clock_microseconds() - began;
        console_line("after\n");
    });
    EXPECT_GE(waited, 150000u);
    EXPECT_LT(waited, 2000000u);
    EXPECT_EQ(got, lines + "after\n");
}

// Ctrl+S on a terminal of its own for standard error, standard output to a log file.
TEST(ConsoleOnAStoppedStream, StandardErrorStoppedHoldsItsLinesAndNothingElse) {
    std::string expected;
    const std::string got = when_read_again(ERRORS_STOPPED, [&] {
        for (int i = 0; i < 80; ++i) { // 80 notices of some 120 bytes: the pipe holds 4 KiB
            print_progress(5);
            take_update_notice(nullptr, BLOCK_57);
            expected += described(BLOCK_57);
        }
        print_progress(20);
    });
    EXPECT_EQ(got, expected);
}

#if !defined(_WIN32)
// What standard error shows while the trail of an image of `size` bytes, then a notice, go to
// standard output on `out`, which fails its writes.
std::string errors_beside_a_failing_trail(int out, std::uint64_t size) {
    const int saved_out = swap_in(out, 1);
    testing::internal::CaptureStderr();
    last_percent = 0;
    console_begin();
    print_trail(reports_for(size));
    take_update_notice(nullptr, BLOCK_57);
    console_end();
    const std::string errors = testing::internal::GetCapturedStderr();
    put_back(saved_out, 1);
    return errors;
}

TEST(ConsoleOnABrokenStream, EndsItsWritesAndNothingElse) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    // The reader has gone, as after `| head -c 300`: SIGPIPE would end the test.
    close(ends[0]);
    EXPECT_EQ(errors_beside_a_failing_trail(ends[1], 1u << 20), described(BLOCK_57));
    close(ends[1]);
}

// Under `ulimit -f` the file stops growing; SIGXFSZ would end the process.
TEST(ConsoleOnABrokenStream, AFileThatCannotGrowEndsOnlyTheTrail) {
    char path[] = "/tmp/qb-trail-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string errors = errors_beside_a_failing_trail(file, 8u << 20);
    setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(lseek(file, 0, SEEK_END), 1000);
    close(file);
    EXPECT_EQ(errors, described(BLOCK_57));
}
bool handled(int sig) {
    struct sigaction now;
    sigaction(sig, nullptr, &now);
    return now.sa_handler != SIG_DFL;
}

// The terminal's own keys end the process as they always do; a hang-up only records itself,
// held back until the loop's wait, which it cuts short, so that the loop sees it at once.
TEST(ConsoleSignals, NoInterruptHandlersAndAHangUpRecordedForTheWait) {
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP})
        ASSERT_FALSE(handled(sig)) << sig;
    console_begin();
    for (int sig : {SIGINT, SIGTERM, SIGQUIT})
        EXPECT_FALSE(handled(sig)) << sig;
    EXPECT_FALSE(console_hung_up());
    raise(SIGHUP);
    EXPECT_FALSE(console_hung_up()) << "seen outside the wait";
    EXPECT_EQ(net_wait_readable(nullptr, nullptr, 0, 5000), NET_WAIT_INTERRUPTED);
    EXPECT_TRUE(console_hung_up());
    raise(SIGHUP); // held until the end, and taken by the recorder there
    console_end();
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP})
        EXPECT_FALSE(handled(sig)) << sig;
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, nullptr, &blocked);
    EXPECT_FALSE(sigismember(&blocked, SIGHUP));
}
#endif

} // namespace
