// The console's progress trail: a dot for most reports, a line at every multiple of 20%; and
// the notices of a running update, which share the console with it.
#pragma once

#include "engine.h"

#include <cstddef>
#include <cstdint>

// The last percentage printed as a number.
extern std::uint32_t last_percent;
// Dots have been printed since the trail's last line ended.
extern bool trail_mid_line;

void print_progress(std::uint32_t percent);

// A line (with its newline) to print when the network part of the update begins, or an empty
// text; the front end's checks of its own choices, said once the image is loaded and the ports
// are open, so that a run that fails earlier prints only its failure.
constexpr std::size_t START_NOTICE_SIZE = 512;
extern char start_notice[START_NOTICE_SIZE];

// The engine's notice callback. Prints the notice on standard error (when the network part
// begins: start_notice and what the system's firewall will do, net_firewall_notice); standard
// output is left as it is, and when both streams are a console a notice that would follow the
// trail's dots starts on a line of its own. Returns true: the update goes on.
bool print_update_notice(const UpdateNotice& notice);
