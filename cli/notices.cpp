#include "notices.h"

#include "console.h"
#include "firewall_notice.h"
#include "hang_up.h"
#include "progress.h"
#include "report.h"

const char* banner_text(UpdateMode mode) {
    return mode == UPDATE_MODE_BOOT_AREA ? " Updating QuibbleBox Boot Area\n"
                                         : " Updating QuibbleBox Firmware\n";
}

namespace {
// How long the start's lines may hold up the first beacon, at most, to reach a slow stream.
constexpr std::uint32_t START_SETTLE_MS = 250;
} // namespace

bool take_update_notice(void* context, const UpdateNotice& notice) {
    switch (notice.kind) {
    case NOTICE_PROGRESS:
        print_progress(notice.percent);
        return true;
    case NOTICE_IMAGE_OPENED:
        console_text(CONSOLE_OUT, banner_text(notice.mode));
        return true;
    case NOTICE_NETWORK_STARTS: {
        const auto* held = static_cast<const NoticeContext*>(context);
        if (held->serving_known) {
            char start[1024];
            describe_start(start, sizeof start, held->serving, notice.image_size,
                           digest_image(notice.image, notice.image_size));
            console_line(start);
        }
        console_line(held->start_lines);
        char firewall[1024];
        firewall_notice(firewall, sizeof firewall, notice.local_addr);
        console_line(firewall);
        console_settle(START_SETTLE_MS);
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
