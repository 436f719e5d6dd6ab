// SPDX-License-Identifier: GPL-3.0-or-later
// The pair of named semaphores of a namespace: opened checked, posted and taken.
#include <semaphore.h>

#include <cerrno>
#include <cstring>

#include "fault_guard.h"
#include "namespace.h"
#include "trust.h"

namespace zvripc {

int SemPair::open(const std::string &ns) {
    reset();
    ObjectNames names = object_names(ns);
    const std::uint32_t group = recorded_group(ns);
    sem_t *statchange = nullptr;
    sem_t *downnotify = nullptr;
    int statchange_slot = -1;
    int downnotify_slot = -1;
    if (int rc = open_semaphore(names.statchange, group, &statchange, &statchange_slot)) {
        return rc;
    }
    if (int rc = open_semaphore(names.downnotify, group, &downnotify, &downnotify_slot)) {
        close_semaphore(statchange, statchange_slot);
        return rc;
    }
    ns_ = ns;
    statchange_ = statchange;
    downnotify_ = downnotify;
    statchange_slot_ = statchange_slot;
    downnotify_slot_ = downnotify_slot;
    return ZVRIPC_OK;
}

void SemPair::reset() {
    close_semaphore(statchange_, statchange_slot_);
    close_semaphore(downnotify_, downnotify_slot_);
    statchange_ = downnotify_ = nullptr;
    statchange_slot_ = downnotify_slot_ = -1;
}

int SemPair::intact() const {
    if (!guard_lost(statchange_slot_) && !guard_lost(downnotify_slot_)) {
        return ZVRIPC_OK;
    }
    const ObjectNames names = object_names(ns_);
    return fail(ZVRIPC_EBADSEG,
                "semaphore %s changed under this process: it shrank (truncated by a process that may write "
                "it); it is no longer used",
                guard_lost(statchange_slot_) ? names.statchange.c_str() : names.downnotify.c_str());
}

namespace {

int post(sem_t *sem, const char *what) {
    // A semaphore at its maximum value is signalled already; one more post would add
    // nothing a waiter could tell apart.
    if (sem_post(sem) != 0 && errno != EOVERFLOW) {
        return fail(ZVRIPC_ESYS, "cannot post the %s semaphore: %s", what, errno_text(errno).c_str());
    }
    return ZVRIPC_OK;
}

}  // namespace

int SemPair::post_statchange() {
    return post(statchange_, "status-change");
}

int SemPair::post_downnotify() {
    return post(downnotify_, "down-notify");
}

int SemPair::try_downnotify() {
    while (sem_trywait(downnotify_) != 0) {
        if (errno == EAGAIN) {
            return fail(ZVRIPC_EAGAIN, "the down-notify semaphore was not given");
        }
        if (errno != EINTR) {
            return fail(ZVRIPC_ESYS, "cannot take the down-notify semaphore: %s", errno_text(errno).c_str());
        }
    }
    return ZVRIPC_OK;
}

}  // namespace zvripc
