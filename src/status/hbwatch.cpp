// SPDX-License-Identifier: GPL-3.0-or-later
// The timeout watch thread. Stand-in until the watch thread lands: it waits for the
// stop and ends with "0".
#include "diag/tavik_log.h"
#include "status.h"
#include "tavik/thctl.h"

namespace {
const char kThreadResult[] = "0";
}

void *hbwatch(void *) {
    TLOG(LV_INFO, "<<< ENTER >>>");
    thctl_setcancelstate(THCTL_CANCEL_DISABLE, nullptr);
    while (bsigrecv == 0) {
        thctl_sleep_us(100000);
    }
    TLOG(LV_INFO, "<<< EXIT >>> : 0x%08lx", 0UL);
    return const_cast<char *>(kThreadResult);
}
