// SPDX-License-Identifier: GPL-3.0-or-later
// The robust, process-shared lock inside each segment: making it, taking it (recovering
// it when its last holder died) and checking it once at attach.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "lock_word.h"
#include "namespace.h"
#include "segment.h"

namespace zvripc {

namespace {

// How long attach waits for a segment lock that a live holder has.
constexpr long kAttachLockWaitMs = 1000;

// For a lock taken with EOWNERDEAD: the holder died inside its critical section. Every
// update made under this lock is a store of whole aligned values, so the data is as the
// last finished update left it (or as one half-done update of a pair left it), and the
// segment can go on being used. 0 when the lock is held and counted as recovered, else
// the pthread error (the lock is then given back).
int recover(pthread_mutex_t *mutex, std::uint64_t *recoveries) {
    int rc = pthread_mutex_consistent(mutex);
    if (rc == 0) {
        ++*recoveries;
    } else {
        pthread_mutex_unlock(mutex);
    }
    return rc;
}

// Takes a segment's lock, waiting at most until `deadline` (CLOCK_REALTIME) when one is
// given, and makes it consistent when its last holder died inside its critical section.
// 0 when the lock is held, else the pthread error (the lock is then not held).
int take_lock(pthread_mutex_t *mutex, std::uint64_t *recoveries, const timespec *deadline) {
    int rc = deadline != nullptr ? pthread_mutex_timedlock(mutex, deadline) : pthread_mutex_lock(mutex);
    return rc == EOWNERDEAD ? recover(mutex, recoveries) : rc;
}

}  // namespace

int init_robust_mutex(pthread_mutex_t *mutex, const std::string &object) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        if (rc == 0) {
            rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        }
        if (rc == 0) {
            rc = pthread_mutex_init(mutex, &attr);
        }
        pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0) {
        return fail(ZVRIPC_ESYS, "%s: cannot set up the lock: %s", object.c_str(), errno_text(rc).c_str());
    }
    return ZVRIPC_OK;
}

SegmentLock::SegmentLock(pthread_mutex_t *mutex, std::uint64_t *recoveries) : mutex_(mutex) {
    int rc = take_lock(mutex, recoveries, nullptr);
    if (rc != 0) {
        mutex_ = nullptr;
        result_ = fail(ZVRIPC_ELOCK, "cannot take the segment lock: %s", errno_text(rc).c_str());
    } else {
        result_ = ZVRIPC_OK;
    }
}

SegmentLock::~SegmentLock() {
    if (mutex_ != nullptr) {
        pthread_mutex_unlock(mutex_);
    }
}

// Checks a segment's lock before anything relies on it: a lock word overwritten with
// anything else than what a locker leaves there would make every later call wait for
// ever, or stop the process inside the C library. The lock is taken once and given back;
// a lock left behind by a holder that died is recovered here already.
int check_lock(const std::string &object, pthread_mutex_t *mutex, std::uint64_t *recoveries) {
    if (int refused = check_lock_kind(object, mutex)) {
        return refused;
    }
    int rc = pthread_mutex_trylock(mutex);
    if (rc == EOWNERDEAD) {
        rc = recover(mutex, recoveries);
    } else if (rc == EBUSY) {
        if (int refused = check_lock_holder(object, mutex)) {
            return refused;
        }
        // A live holder keeps the lock for a few loads and stores; one that keeps it for
        // a second is stopped (or the word names a thread that has nothing to do with it).
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        const long nsec = deadline.tv_nsec + kAttachLockWaitMs % 1000 * 1000000;
        deadline.tv_sec += kAttachLockWaitMs / 1000 + nsec / 1000000000;
        deadline.tv_nsec = nsec % 1000000000;
        rc = take_lock(mutex, recoveries, &deadline);
        if (rc == ETIMEDOUT) {
            return fail(ZVRIPC_ELOCK, "segment %s: the lock has been held for more than %ld ms",
                        object.c_str(), kAttachLockWaitMs);
        }
    }
    if (rc != 0) {
        return fail(ZVRIPC_EBADSEG, "segment %s: the lock cannot be taken: %s", object.c_str(),
                    errno_text(rc).c_str());
    }
    pthread_mutex_unlock(mutex);
    return ZVRIPC_OK;
}

}  // namespace zvripc
