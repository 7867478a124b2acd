#include "notices.h"

#include "console.h"
#include "hang_up.h"
#include "report.h"

#include <cstdio>

namespace {

// The engine's callbacks take no context: the one text that must wait for the network part.
char start_lines_held[1024] = "";
ServingFacts serving_held{};
bool serving_known = false;

} // namespace

void notices_begin(const char* start_lines, const ServingFacts* serving) {
    std::snprintf(start_lines_held, sizeof start_lines_held, "%s", start_lines);
    serving_known = serving != nullptr;
    if (serving_known)
        serving_held = *serving;
}

bool print_update_notice(const UpdateNotice& notice) {
    switch (notice.kind) {
    case NOTICE_BANNER:
        console_text(CONSOLE_OUT, notice.banner);
        return true;
    case NOTICE_NETWORK_STARTS: {
        if (serving_known) {
            char start[1024];
            describe_start(start, sizeof start, serving_held, notice.image_size,
                           digest_image(notice.image, notice.image_size));
            console_line(start);
        }
        console_line(start_lines_held);
        char firewall[1024];
        net_firewall_notice(firewall, sizeof firewall, notice.server_addr);
        console_line(firewall);
        return true;
    }
    case NOTICE_WAIT_INTERRUPTED:
        return goes_on_after(notice, console_hung_up());
    default:
        break;
    }
    if (!goes_on_after(notice, console_hung_up()))
        return false;
    char line[512];
    describe_notice(line, sizeof line, notice);
    console_line(line);
    return true;
}
