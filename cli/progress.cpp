#include "progress.h"

#include "host.h"
#include "report.h"

#include <cstdio>
#include <cstring>

std::uint32_t last_percent = 0;
bool trail_mid_line = false;
char start_notice[START_NOTICE_SIZE] = "";

namespace {

constexpr std::uint64_t TRAIL_END_WAIT_US = std::uint64_t{TRAIL_END_WAIT_SECONDS} * 1000000u;

// The bytes standard output has not taken yet, oldest first. Past held_line_end only dots.
char held[TRAIL_HOLD_SIZE];
std::size_t held_length = 0;
std::size_t held_line_end = 0;
bool trail_broken = false;
// A stall has been told and the update has not moved since (console_end_at_hang_up).
bool ending_at_hang_up = false;

void break_trail() {
    trail_broken = true;
    held_length = held_line_end = 0;
}

// Writes as much of what is held as the stream takes now; returns how many bytes it took.
std::size_t write_held() {
    if (held_length == 0)
        return 0;
    const int n = trail_write(held, static_cast<int>(held_length));
    if (n == TRAIL_BROKEN) {
        break_trail();
        return 0;
    }
    const auto taken = static_cast<std::size_t>(n);
    std::memmove(held, held + taken, held_length - taken);
    held_length -= taken;
    held_line_end = held_line_end > taken ? held_line_end - taken : 0;
    return taken;
}

// Keeps `text` after what is held. A dot finds room only below the lines' reserve; a line makes
// room, when it must, by dropping the dots held since the last line.
void hold(const char* text, std::size_t length, bool dot) {
    const std::size_t limit = dot ? TRAIL_HOLD_SIZE - TRAIL_LINE_RESERVE : TRAIL_HOLD_SIZE;
    if (!dot && held_length + length > limit)
        held_length = held_line_end > limit - length ? held_line_end : limit - length;
    if (held_length + length > limit)
        return; // a dot; or a line behind a reserve full of lines, after thousands of restarts
    std::memcpy(held + held_length, text, length);
    held_length += length;
    if (!dot)
        held_line_end = held_length;
}

// With nothing held this is one write, as a plain flushed stream would make.
void put(const char* text, std::size_t length, bool dot) {
    if (trail_broken)
        return;
    if (held_length > 0) {
        write_held();
        if (held_length > 0) {
            hold(text, length, dot);
            return;
        }
    }
    if (trail_broken)
        return;
    const int n = trail_write(text, static_cast<int>(length));
    if (n == TRAIL_BROKEN)
        break_trail();
    else if (static_cast<std::size_t>(n) < length)
        hold(text + n, length - static_cast<std::size_t>(n), dot);
}

void stop_ending_at_hang_up() {
    if (ending_at_hang_up)
        console_end_at_hang_up(nullptr, 0);
    ending_at_hang_up = false;
}

} // namespace

void trail_begin() {
    trail_output_open();
    held_length = held_line_end = 0;
    trail_broken = false;
    ending_at_hang_up = false;
}

void trail_end() {
    stop_ending_at_hang_up(); // the update is over: its result stands
    std::uint64_t last_taken = clock_microseconds();
    while (held_length > 0 && !trail_broken) {
        const std::uint64_t waited = clock_microseconds() - last_taken;
        if (waited >= TRAIL_END_WAIT_US)
            break;
        trail_wait_writable(static_cast<std::uint32_t>((TRAIL_END_WAIT_US - waited + 999) / 1000));
        if (write_held() > 0)
            last_taken = clock_microseconds();
    }
    held_length = held_line_end = 0;
    trail_output_close();
}

void print_progress(std::uint32_t percent) {
    if (percent % 20 != 0) {
        put(".", 1, true);
        trail_mid_line = true;
    } else if (percent != last_percent) {
        char line[8];
        const int n = std::snprintf(line, sizeof line, "%u%%\n", static_cast<unsigned>(percent));
        put(line, static_cast<std::size_t>(n), false);
        last_percent = percent;
        trail_mid_line = false;
    }
    stop_ending_at_hang_up();
}

void print_error_line(const char* text) {
    if (trail_shares_error_stream())
        put(text, std::strlen(text), false);
    else
        write_error_text(text);
}

namespace {

void print_notice_line(const char* text) {
    if (text[0] == '\0')
        return;
    // The newline goes to standard error, so the trail's bytes stay as they are; with either
    // stream redirected the two are not on one screen and need no separating.
    if (trail_mid_line && stream_is_terminal(stdout) && stream_is_terminal(stderr)) {
        print_error_line("\n");
        trail_mid_line = false;
    }
    print_error_line(text);
}

} // namespace

bool print_update_notice(const UpdateNotice& notice) {
    if (notice.kind == NOTICE_NETWORK_STARTS) {
        print_notice_line(start_notice);
        char firewall[1024];
        net_firewall_notice(firewall, sizeof firewall, notice.server_addr);
        print_notice_line(firewall);
        return true;
    }
    const bool stall =
        notice.kind == NOTICE_NO_READ_REQUEST || notice.kind == NOTICE_BLOCK_UNACKNOWLEDGED;
    if (stall && console_hung_up())
        return false;
    char line[512];
    describe_notice(line, sizeof line, notice);
    print_notice_line(line);
    if (!stall)
        return true;
    // Armed before the check, so that a hang-up in between is not missed.
    console_end_at_hang_up(ABANDONED_LINE, EXIT_ABANDONED);
    ending_at_hang_up = true;
    if (!console_hung_up())
        return true;
    stop_ending_at_hang_up();
    return false;
}
