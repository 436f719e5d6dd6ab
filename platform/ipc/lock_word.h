// SPDX-License-Identifier: GPL-3.0-or-later
// The checks of a segment's lock that read the mutex's own words rather than call the
// POSIX functions (lock_word_glibc.cpp). Each returns ZVRIPC_OK or ZVRIPC_EBADSEG with
// the error text set; where the C library is not glibc they accept every lock.
#pragma once

#include <pthread.h>

#include <string>

namespace zvripc {

// Refuses a mutex of another kind than init_robust_mutex makes, before a lock call reads it.
int check_lock_kind(const std::string &object, pthread_mutex_t *mutex);

// For a lock that trylock found busy: refuses a lock word that names no live holder (a
// word given back since, all zero, is accepted).
int check_lock_holder(const std::string &object, pthread_mutex_t *mutex);

// A busy lock is waited for here rather than in the C library, whose wait stops the
// process when the lock's page is gone at the moment it sleeps (its object truncated):
// waits up to ms for the word to change, marking it as waited for, as glibc's own
// locker does, so that the holder's unlock wakes this thread. 0 when woken or changed;
// ETIMEDOUT, or EFAULT when the page is gone (the caller then touches it, so that the
// guard replaces it).
int wait_lock_word(pthread_mutex_t *mutex, long ms);
// For a lock taken after a wait: others may wait still, and the holder's unlock is to
// wake the next one, as after glibc's own wait.
void mark_lock_waited(pthread_mutex_t *mutex);

// The C library keeps every robust lock a thread holds on a list of its own that runs
// through the locks themselves, and unlinks a lock when it is given back. When the page
// under a held lock is lost (its object was truncated), the lock it finds there has
// neither its kind nor its links, so it gives the lock back without unlinking it, and the
// next lock this thread takes writes through the stale link into memory that is no
// longer mapped. The entry that was first before a lock is taken is recorded with
// robust_front(); forget_lost_lock() restores it after the lock is given back if the
// lock is still listed. Both are cheap (a look at the thread's own list head).
const void *robust_front();
void forget_lost_lock(pthread_mutex_t *mutex, const void *front_before);

// Called by the SIGBUS handler on a private copy of a lost lock before it replaces the
// page: links that point at a sink, so that an unlock already past its kind check when
// the page went unlinks from the sink instead of writing through null. Only stores.
void defuse_lost_lock(pthread_mutex_t *copy);

}  // namespace zvripc
