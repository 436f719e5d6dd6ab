// SPDX-License-Identifier: GPL-3.0-or-later
// Attaching to and detaching from the cluster's semaphores and shared memory.
// Main thread only.
#include <zvripc.h>

#include "diag/tavik_log.h"
#include "tavik.h"

int attachipc() {
    TLOG_ENTER();
    int ret = 0;
    if (int r = sem_attach(); r != 0) {
        TLOG(LV_ERROR, "sem_attach() failed(ret:%d)", r);
        ret = 1;
    } else if (int r2 = shmcm_attach(); r2 != 0) {
        TLOG(LV_ERROR, "shmcm_attach() failed(ret:%d)", r2);
        sem_detach();
        ret = 2;
    } else if (int r3 = shmnm_attach(); r3 != 0) {
        TLOG(LV_ERROR, "shmnm_attach() failed(ret:%d)", r3);
        shmcm_detach();
        sem_detach();
        ret = 3;
    }
    TLOG_EXIT(ret);
    return ret;
}

int detachipc() {
    TLOG_ENTER();
    shmnm_detach();
    shmcm_detach();
    sem_detach();
    TLOG_EXIT(0);
    return 0;
}
