// SPDX-License-Identifier: GPL-3.0-or-later
// The BMC check thread. Stand-in until the heartbeat engine lands: it signals the main
// thread that it is set up, then waits for the stop and ends with "0".
#include <pthread.h>

#include "diag/tavik_log.h"
#include "checkbmc.h"
#include "tavik/thctl.h"

namespace {
const char kThreadResult[] = "0";
}

void *hbcheckbmc(void *) {
    TLOG(LV_INFO, "<<< ENTER >>>");
    thctl_setcancelstate(THCTL_CANCEL_DISABLE, nullptr);
    pthread_mutex_lock(&bmcmutex);
    bmcready = 1;
    pthread_cond_signal(&bmccond);
    pthread_mutex_unlock(&bmcmutex);
    while (bsigrecv == 0) {
        thctl_sleep_us(100000);
    }
    TLOG(LV_INFO, "<<< EXIT >>> : 0x%08lx", 0UL);
    return const_cast<char *>(kThreadResult);
}
