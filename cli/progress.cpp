#include "progress.h"

#include "console.h"

#include <cstdio>

std::uint32_t last_percent = 0;

void print_progress(std::uint32_t percent) {
    if (percent % 20 != 0) {
        console_dot();
    } else if (percent != last_percent) {
        char line[8];
        std::snprintf(line, sizeof line, "%u%%\n", static_cast<unsigned>(percent));
        console_text(CONSOLE_OUT, line);
        last_percent = percent;
    }
}
