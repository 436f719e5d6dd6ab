// SPDX-License-Identifier: GPL-3.0-or-later
// The robust, process-shared lock inside each segment: making it, taking it (recovering
// it when its last holder died) and checking it once at attach.
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "fault_guard.h"
#include "lock_word.h"
#include "namespace.h"
#include "segment.h"

namespace zvripc {

namespace {

// How long attach waits for a segment lock that a live holder has.
constexpr long kAttachLockWaitMs = 1000;
// A wait for a held lock looks this often whether the segment was truncated meanwhile:
// a waiter asleep on a page that goes away is woken by nobody.
constexpr long kLostCheckMs = 100;

// Gives the lock back, and takes it off this thread's robust list if its page was lost
// under it (lock_word.h).
void give_back(pthread_mutex_t *mutex, const void *front_before) {
    pthread_mutex_unlock(mutex);
    forget_lost_lock(mutex, front_before);
}

// For a lock taken with EOWNERDEAD: the holder died inside its critical section. Every
// update made under this lock is a store of whole aligned values, so the data is as the
// last finished update left it (or as one half-done update of a pair left it), and the
// segment can go on being used. 0 when the lock is held and counted as recovered, else
// the pthread error (the lock is then given back).
int recover(pthread_mutex_t *mutex, std::uint64_t *recoveries, const void *front_before) {
    int rc = pthread_mutex_consistent(mutex);
    if (rc == 0) {
        ++*recoveries;
    } else {
        give_back(mutex, front_before);
    }
    return rc;
}

// Takes a segment's lock, waiting at most wait_ms when it is not negative, else until it
// is free or its segment lost its pages, and makes it consistent when its last holder
// died inside its critical section. 0 when the lock is held, else the pthread error (the
// lock is then not held; EIO: the page was lost).
int take_lock(pthread_mutex_t *mutex, std::uint64_t *recoveries, long wait_ms, const void *front_before) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point until{};
    bool waited = false;
    int rc = pthread_mutex_trylock(mutex);
    while (rc == EBUSY) {
        if (!waited) {
            until = Clock::now() + std::chrono::milliseconds(wait_ms);
        } else if (wait_ms >= 0 && Clock::now() >= until) {
            rc = ETIMEDOUT;
            break;
        }
        // Straight back to the try when woken: a look at the guard first would let
        // another locker take the lock again meanwhile.
        if (wait_lock_word(mutex, kLostCheckMs) != 0 && guard_lost_at(mutex)) {
            rc = EIO;
            break;
        }
        waited = true;
        rc = pthread_mutex_trylock(mutex);
    }
    if (waited && (rc == 0 || rc == EOWNERDEAD)) {
        mark_lock_waited(mutex);
    }
    if (rc != 0 && rc != EOWNERDEAD) {
        forget_lost_lock(mutex, front_before);
    }
    return rc == EOWNERDEAD ? recover(mutex, recoveries, front_before) : rc;
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

SegmentLock::SegmentLock(pthread_mutex_t *mutex, std::uint64_t *recoveries)
    : mutex_(mutex), front_(robust_front()) {
    int rc = take_lock(mutex, recoveries, -1, front_);
    if (rc != 0) {
        mutex_ = nullptr;
        result_ = fail(ZVRIPC_ELOCK, "cannot take the segment lock: %s", errno_text(rc).c_str());
    } else {
        result_ = ZVRIPC_OK;
    }
}

SegmentLock::~SegmentLock() {
    if (mutex_ != nullptr) {
        give_back(mutex_, front_);
    }
}

// Checks a segment's lock before anything relies on it: a lock word overwritten with
// anything else than what a locker leaves there would make every later call wait for
// ever, or stop the process inside the C library. The lock is taken once and given back;
// a lock left behind by a holder that died is recovered here already.
int check_lock(const std::string &object, pthread_mutex_t *mutex, std::uint64_t *recoveries) {
    guard_lock(mutex);
    if (int refused = check_lock_kind(object, mutex)) {
        return refused;
    }
    const void *front = robust_front();
    int rc = pthread_mutex_trylock(mutex);
    if (rc == EOWNERDEAD) {
        rc = recover(mutex, recoveries, front);
    } else if (rc == EBUSY) {
        if (int refused = check_lock_holder(object, mutex)) {
            return refused;
        }
        // A live holder keeps the lock for a few loads and stores; one that keeps it for
        // a second is stopped (or the word names a thread that has nothing to do with it).
        rc = take_lock(mutex, recoveries, kAttachLockWaitMs, front);
        if (rc == ETIMEDOUT) {
            return fail(ZVRIPC_ELOCK, "segment %s: the lock has been held for more than %ld ms",
                        object.c_str(), kAttachLockWaitMs);
        }
    }
    if (rc != 0) {
        forget_lost_lock(mutex, front);
        return fail(ZVRIPC_EBADSEG, "segment %s: the lock cannot be taken: %s", object.c_str(),
                    errno_text(rc).c_str());
    }
    give_back(mutex, front);
    return ZVRIPC_OK;
}

}  // namespace zvripc
