// SPDX-License-Identifier: GPL-3.0-or-later
// The worker threads switch their cancellation state often and log every failure of
// the switch the same way; these two helpers say it once. Calling thread only.
#pragma once

#include <cerrno>

#include "diag/tavik_log.h"
#include "tavik/thctl.h"

inline void cancel_disable() {
    int oldstate = 0;
    if (int ret = thctl_setcancelstate(THCTL_CANCEL_DISABLE, &oldstate); ret != 0) {
        TLOG(LV_ERROR, "pthread_setcancelstate(DISABLE) failed(ret:%d,errno:%d)", ret, errno);
    }
}

inline void cancel_enable() {
    int oldstate = 0;
    if (int ret = thctl_setcancelstate(THCTL_CANCEL_ENABLE, &oldstate); ret != 0) {
        TLOG(LV_ERROR, "pthread_setcancelstate(ENABLE) failed(ret:%d,errno:%d)", ret, errno);
    }
}
