#include "progress.h"

#include "host.h"
#include "report.h"

#include <cstdio>

std::uint32_t last_percent = 0;
bool trail_mid_line = false;
char start_notice[START_NOTICE_SIZE] = "";

void print_progress(std::uint32_t percent) {
    if (percent % 20 != 0) {
        std::fputs(".", stdout);
        trail_mid_line = true;
    } else if (percent != last_percent) {
        std::printf("%u%%\n", static_cast<unsigned>(percent));
        last_percent = percent;
        trail_mid_line = false;
    }
    std::fflush(stdout);
}

namespace {

void print_notice_line(const char* text) {
    if (text[0] == '\0')
        return;
    // The newline goes to standard error, so the trail's bytes stay as they are; with either
    // stream redirected the two are not on one screen and need no separating.
    if (trail_mid_line && stream_is_terminal(stdout) && stream_is_terminal(stderr)) {
        std::fputc('\n', stderr);
        trail_mid_line = false;
    }
    write_error_text(text);
}

} // namespace

bool print_update_notice(const UpdateNotice& notice) {
    if (notice.kind == NOTICE_NETWORK_STARTS) {
        print_notice_line(start_notice);
        char firewall[1024];
        net_firewall_notice(firewall, sizeof firewall);
        print_notice_line(firewall);
        return true;
    }
    char line[512];
    describe_notice(line, sizeof line, notice);
    print_notice_line(line);
    return true;
}
