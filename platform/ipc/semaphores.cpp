// SPDX-License-Identifier: GPL-3.0-or-later
// The pair of named semaphores of a namespace: opened checked, posted and taken.
#include <semaphore.h>

#include <cerrno>
#include <cstring>

#include "namespace.h"
#include "trust.h"

namespace zvripc {

int SemPair::open(const std::string &ns) {
    reset();
    ObjectNames names = object_names(ns);
    const std::uint32_t group = recorded_group(ns);
    sem_t *statchange = nullptr;
    sem_t *downnotify = nullptr;
    if (int rc = open_semaphore(names.statchange, group, &statchange)) {
        return rc;
    }
    if (int rc = open_semaphore(names.downnotify, group, &downnotify)) {
        close_semaphore(statchange);
        return rc;
    }
    statchange_ = statchange;
    downnotify_ = downnotify;
    return ZVRIPC_OK;
}

void SemPair::reset() {
    close_semaphore(statchange_);
    close_semaphore(downnotify_);
    statchange_ = downnotify_ = nullptr;
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
