// The console's progress trail: a dot for most reports, a line at every multiple of 20%; and
// the notices of a stalled update, which share the console with it.
#pragma once

#include "engine.h"

#include <cstdint>

// The last percentage printed as a number.
extern std::uint32_t last_percent;
// Dots have been printed since the trail's last line ended.
extern bool trail_mid_line;

void print_progress(std::uint32_t percent);

// Prints the notice on standard error. Standard output is left as it is; when both streams are
// a console, a notice that would follow the trail's dots starts on a line of its own.
void print_stall_notice(const StallNotice& notice);
