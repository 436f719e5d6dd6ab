// SPDX-License-Identifier: GPL-3.0-or-later
// Attaching to and detaching from the cluster's semaphores and shared memory.
// Main thread only, but for the library's report of a namespace that changed under the
// daemon, which comes on whichever thread met it.
#include <signal.h>
#include <unistd.h>
#include <zvripc.h>
#include <zvripc_admin.h>

#include <atomic>

#include "diag/tavik_log.h"
#include "tavik.h"

namespace {

std::atomic<bool> namespace_lost{false};

// A segment truncated or rewritten under the daemon: nothing it reads from there can be
// trusted any more, so it stops in order (its parent's stop signal, sent to itself),
// telling its BMC and its peers, and ends with its own status.
void stop_on_lost(const char *why) {
    namespace_lost = true;
    TLOG(LV_ERROR, "IPC namespace changed under the daemon: %s; stopping", why);
    kill(getpid(), SIGUSR1);
}

// The library's reason, beside the record of the failed call.
void log_reason(const char *call) {
    TLOG(LV_ERROR, "%s(): %s", call, ipc_last_error());
}

}  // namespace

bool ipc_namespace_lost() {
    return namespace_lost;
}

int attachipc() {
    TLOG_ENTER();
    ipc_set_lost_handler(stop_on_lost);
    int ret = 0;
    if (int r = sem_attach(); r != 0) {
        TLOG(LV_ERROR, "sem_attach() failed(ret:%d)", r);
        log_reason("sem_attach");
        ret = 1;
    } else if (int r2 = shmcm_attach(); r2 != 0) {
        TLOG(LV_ERROR, "shmcm_attach() failed(ret:%d)", r2);
        log_reason("shmcm_attach");
        sem_detach();
        ret = 2;
    } else if (int r3 = shmnm_attach(); r3 != 0) {
        TLOG(LV_ERROR, "shmnm_attach() failed(ret:%d)", r3);
        log_reason("shmnm_attach");
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
