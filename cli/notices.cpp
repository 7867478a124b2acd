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

bool take_update_notice(void* context, const UpdateNotice& notice) {
    switch (notice.kind) {
    case NOTICE_PROGRESS:
        print_progress(notice.percent);
        return true;
    case NOTICE_IMAGE_OPENED:
        console_text(CONSOLE_OUT, banner_text(notice.mode));
        return true;
    case NOTICE_NETWORK_STARTS: {
        console_line(static_cast<const NoticeContext*>(context)->start_lines);
        char firewall[1024];
        firewall_notice(firewall, sizeof firewall, notice.local_addr);
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
