// The console's progress trail: a dot for most reports, a line at every multiple of 20%; and
// the notices of a running update, which share the console with it. Neither ever holds up the
// update: what a stopped stream does not take is held back, in order, and written when it does.
#pragma once

#include "engine.h"

#include <cstddef>
#include <cstdint>

// The last percentage printed as a number.
extern std::uint32_t last_percent;
// Dots have been printed since the trail's last line ended.
extern bool trail_mid_line;

// What standard output has not yet taken: enough for a stream stopped for a minute while a
// large image goes out (a dot per block). Only when it is full are dots dropped, never a line.
constexpr std::size_t TRAIL_HOLD_SIZE = 64 * 1024;
// The part of it that only lines (percentages, and notices sharing the stream) may fill.
constexpr std::size_t TRAIL_LINE_RESERVE = 4 * 1024;
// At the end, how long a stopped stream may go without taking a byte of what is held.
constexpr std::uint32_t TRAIL_END_WAIT_SECONDS = 60;

// Around the update: trail_begin prepares standard output; trail_end writes what is held,
// waiting up to TRAIL_END_WAIT_SECONDS for a stopped stream, and lets it go. A stream that fails
// (a closed pipe, a hung-up terminal, a full disk) ends the trail, and only the trail.
void trail_begin();
void trail_end();

void print_progress(std::uint32_t percent);

// Writes a line for standard error; where standard error is the stream standard output is, the
// line goes out in order with the trail, held back with it.
void print_error_line(const char* text);

// A line (with its newline) to print when the network part of the update begins, or an empty
// text; the front end's checks of its own choices, said once the image is loaded and the ports
// are open, so that a run that fails earlier prints only its failure.
constexpr std::size_t START_NOTICE_SIZE = 512;
extern char start_notice[START_NOTICE_SIZE];

// The engine's notice callback. Prints the notice on standard error (when the network part
// begins: start_notice and what the system's firewall will do, net_firewall_notice); standard
// output is left as it is, and when both streams are a console a notice that would follow the
// trail's dots starts on a line of its own. Returns true (the update goes on), except that a
// stall once the terminal has hung up ends the update: no one is left to read the notice, and
// the ports would be held until someone found the process. A hang-up during a stall already
// told ends it at once.
bool print_update_notice(const UpdateNotice& notice);
