// Everything QBupdate shows goes out here: the banner and the trail on standard output, the
// notices and the last line on standard error. Nothing ever waits for a stream: what a stopped
// stream does not take now is held, in order, and written when it takes more.
#pragma once

#include "host.h"

#include <cstddef>
#include <cstdint>

// What a stream has not taken yet: enough for a stream stopped for a minute while a large image
// goes out (a dot per block). Only when it is full are dots dropped, never a line.
constexpr std::size_t CONSOLE_HOLD_SIZE = 64 * 1024;
// The part of it that only lines may fill: without it, dots held before the 20% line would
// leave no room for the 40% line, or for a notice sharing the stream.
constexpr std::size_t CONSOLE_LINE_RESERVE = 4 * 1024;
// At the end, how long a stopped stream may go without taking a byte of what is held.
constexpr std::uint32_t CONSOLE_END_WAIT_SECONDS = 60;

// Around the update: console_begin prepares both streams (one queue for the two when they are
// one terminal or one pipe); console_end writes what is held, waiting up to
// CONSOLE_END_WAIT_SECONDS for a stopped stream, and lets them go. A stream that fails (a
// closed pipe, a hung-up terminal, a full file) ends its own writes, and nothing else. Outside
// them every write waits as any write does.
void console_begin();
void console_end();

// Writes what is held, waiting at most `timeout_ms` in all for a stream to take it: for the
// start's lines, which must be out before the first datagram, where a writer of the system's
// (Windows) or a slow reader may still hold the banner. The update has nothing in flight yet.
void console_settle(std::uint32_t timeout_ms);

// Text that is kept whatever happens: the banner, the trail's lines, standard error's lines.
void console_text(ConsoleStream stream, const char* text);

// A dot of the trail on standard output: dropped when the hold is full.
void console_dot();

// A line for standard error. Where both streams are one screen and the trail's dots have left
// it mid-line, the line starts on a line of its own; the newline goes to standard error, so
// that standard output keeps its bytes as they are.
void console_line(const char* text);
