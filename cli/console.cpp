#include "console.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr std::uint64_t END_WAIT_US = std::uint64_t{CONSOLE_END_WAIT_SECONDS} * 1000000u;

// The bytes a stream has not taken yet, oldest first. Past line_end only dots.
struct Hold {
    char bytes[CONSOLE_HOLD_SIZE];
    std::size_t length;
    std::size_t line_end;
    bool broken;
};

// One run's console: a hold per stream, or standard output's for both when they are one.
struct Console {
    Hold holds[2];
    bool shared;
    bool both_terminals;
    char last_given; // the last byte given to either stream
};

Console console;

// Writes as much of what is held as the stream takes now; returns how many bytes it took.
std::size_t write_held(ConsoleStream writer) {
    Hold& h = console.holds[writer];
    const int n = h.length == 0 ? 0 : console_write(writer, h.bytes, static_cast<int>(h.length));
    if (n == CONSOLE_BROKEN) {
        h.broken = true;
        h.length = h.line_end = 0;
        return 0;
    }
    const auto taken = static_cast<std::size_t>(n);
    std::memmove(h.bytes, h.bytes + taken, h.length - taken);
    h.length -= taken;
    h.line_end = h.line_end > taken ? h.line_end - taken : 0;
    return taken;
}

// Keeps `text` after what is held. A dot finds room only below the lines' reserve; a line makes
// room, when it must, by dropping the dots held since the last line.
void keep(Hold& h, const char* text, std::size_t length, bool dot) {
    const std::size_t limit = dot ? CONSOLE_HOLD_SIZE - CONSOLE_LINE_RESERVE : CONSOLE_HOLD_SIZE;
    if (!dot && h.length + length > limit)
        h.length = h.line_end > limit - length ? h.line_end : limit - length;
    if (h.length + length > limit)
        return; // a dot; or a line behind a reserve full of lines, after thousands of restarts
    std::memcpy(h.bytes + h.length, text, length);
    h.length += length;
    if (!dot)
        h.line_end = h.length;
}

// With nothing held this is one write, as a plain flushed stream would make.
void put(ConsoleStream stream, const char* text, std::size_t length, bool dot) {
    const ConsoleStream writer = console.shared ? CONSOLE_OUT : stream;
    Hold& h = console.holds[writer];
    if (length == 0 || h.broken)
        return;
    console.last_given = text[length - 1];
    write_held(writer);
    if (h.length > 0 || h.broken) {
        if (!h.broken)
            keep(h, text, length, dot);
        return;
    }
    const int n = console_write(writer, text, static_cast<int>(length));
    if (n == CONSOLE_BROKEN)
        h.broken = true;
    else if (static_cast<std::size_t>(n) < length)
        keep(h, text + n, length - static_cast<std::size_t>(n), dot);
}

} // namespace

void console_begin() {
    console_open();
    console.shared = console_streams_are_one();
    console.both_terminals = console_is_terminal(CONSOLE_OUT) && console_is_terminal(CONSOLE_ERR);
    console.last_given = '\n';
    for (Hold& h : console.holds) {
        h.length = h.line_end = 0;
        h.broken = false;
    }
}

void console_end() {
    for (const ConsoleStream writer : {CONSOLE_OUT, CONSOLE_ERR}) {
        std::uint64_t last_taken = clock_microseconds();
        for (const Hold& h = console.holds[writer]; h.length > 0;) {
            const std::uint64_t waited = clock_microseconds() - last_taken;
            if (waited >= END_WAIT_US)
                break;
            console_wait_writable(writer,
                                  static_cast<std::uint32_t>((END_WAIT_US - waited + 999) / 1000));
            if (write_held(writer) > 0)
                last_taken = clock_microseconds();
        }
    }
    console_close();
    console.shared = false;
}

void console_settle(std::uint32_t timeout_ms) {
    const std::uint64_t until = clock_microseconds() + std::uint64_t{timeout_ms} * 1000u;
    for (const ConsoleStream writer : {CONSOLE_OUT, CONSOLE_ERR}) {
        for (const Hold& h = console.holds[writer]; h.length > 0;) {
            const std::uint64_t now = clock_microseconds();
            if (now >= until)
                break;
            console_wait_writable(writer, static_cast<std::uint32_t>((until - now + 999) / 1000));
            write_held(writer);
        }
    }
    const std::uint64_t now = clock_microseconds();
    if (now < until)
        console_wait_taken(static_cast<std::uint32_t>((until - now + 999) / 1000));
}

void console_text(ConsoleStream stream, const char* text) {
    put(stream, text, std::strlen(text), false);
}

void console_dot() {
    put(CONSOLE_OUT, ".", 1, true);
}

void console_line(const char* text) {
    if (console.both_terminals && console.last_given == '.' && text[0] != '\0')
        put(CONSOLE_ERR, "\n", 1, false);
    put(CONSOLE_ERR, text, std::strlen(text), false);
}
