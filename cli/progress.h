// The console's progress trail: a dot for most reports, a line at every multiple of 20%.
#pragma once

#include <cstdint>

// The last percentage printed as a number.
extern std::uint32_t last_percent;

void print_progress(std::uint32_t percent);
