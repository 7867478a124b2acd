#include "progress.h"

#include <cstdio>

std::uint32_t last_percent = 0;

void print_progress(std::uint32_t percent) {
    if (percent % 20 != 0) {
        std::fputs(".", stdout);
    } else if (percent != last_percent) {
        std::printf("%u%%\n", static_cast<unsigned>(percent));
        last_percent = percent;
    }
    std::fflush(stdout);
}
