#include "hang_up.h"

bool goes_on_after(const UpdateNotice& notice, bool hung_up) {
    if (!hung_up)
        return true;
    switch (notice.kind) {
    case NOTICE_NO_READ_REQUEST:
    case NOTICE_BLOCK_UNACKNOWLEDGED:
        return false;
    case NOTICE_WAIT_INTERRUPTED:
        return !notice.standing_still;
    default:
        return true;
    }
}
