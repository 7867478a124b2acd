// The operator's terminal may hang up while an update runs (a window closed, a connection
// dropped). A transfer that moves carries on and soon ends with its result. At a stall there is
// no one left to tell, and the ports would stay held until someone found the process: the
// update ends there (status 6), and at once when the hang-up comes during a stall already told.
#pragma once

#include "engine.h"

// Whether the update goes on after `notice`, with the terminal hung up or not.
bool goes_on_after(const UpdateNotice& notice, bool hung_up);
