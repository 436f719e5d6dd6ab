// SPDX-License-Identifier: GPL-3.0-or-later
// Cooperative cancellation of the worker threads, and the daemon's one sleep primitive.
//
// A worker is created with thctl_create and joined with thctl_join. Each worker has a
// cancel request and a cancellation state (enabled or disabled, as the worker switches
// it). Only two places act on a request: thctl_testcancel and thctl_sleep_us while
// cancellation is enabled. Acting on it runs the worker's clean-up routines and ends
// the thread with PTHREAD_CANCELED as its result. A stop can therefore never land in a
// BMC exchange, a log write or while a lock is held.
//
// Time: every sleep goes through thctl_sleep_us. Tests may switch the process to a
// virtual clock that only moves when they advance it; xmllib_times of the test fakes
// follows the same clock, so time-outs can be tested without waiting.
//
// Acting on a request ends the thread with pthread_exit, which unwinds the worker's
// stack: a cancellation point must not be reached inside a noexcept function or a
// catch (...) block that does not rethrow. Once a worker acts on its request it is
// disabled for good, so a clean-up routine may sleep or test without ending again.
//
// Thread safety: thctl_cancel, thctl_join and the clock functions may be called from
// any thread; the state, test and clean-up functions act on the calling worker only.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>

constexpr int THCTL_CANCEL_ENABLE = 0;
constexpr int THCTL_CANCEL_DISABLE = 1;

// Creates a worker thread (cancellation enabled until it disables it, as with pthreads).
int thctl_create(pthread_t *th, const pthread_attr_t *attr, void *(*entry)(void *), void *arg);

// Joins a worker created by thctl_create and forgets its control. ESRCH, without
// touching th, when th is not a worker that has yet to be joined.
int thctl_join(pthread_t th, void **result);

// Requests cancellation of a worker. 0 when the request was recorded (also for a worker
// that has ended but not been joined); ESRCH, also left in errno, when th is not a
// worker that has yet to be joined.
int thctl_cancel(pthread_t th);

// Sets the calling worker's cancellation state; the previous one goes to *oldstate
// (which may be null). EINVAL for an unknown state or when called outside a worker.
int thctl_setcancelstate(int state, int *oldstate);

// A cancellation point: ends the calling worker when cancellation is enabled and requested.
void thctl_testcancel();

// Clean-up routines of the calling worker, run in reverse order when it is cancelled.
// pop removes the last one and runs it when execute is non-zero.
void thctl_cleanup_push(void (*routine)(void *), void *arg);
void thctl_cleanup_pop(int execute);

// Sleeps usec microseconds. While cancellation is enabled it is a cancellation point
// that also wakes at once when a request comes. Outside a worker it just sleeps. A sleep
// also ends when the clock is switched between real and virtual time under it.
void thctl_sleep_us(uint64_t usec);

// ---- the clock behind the sleeps ----

// Microseconds of the clock the sleeps use (monotonic, or the virtual clock).
uint64_t thctl_now_us();

// Switches to the virtual clock (true), starting at a fixed point, or back to real time.
void thctl_virtual_clock(bool on);
// Moves the virtual clock forward and wakes the sleepers whose deadline it reached.
void thctl_advance_us(uint64_t usec);
// In automatic mode a sleep moves the virtual clock forward by its own length and
// returns at once (still a cancellation point), so one worker runs through simulated
// time without a test stepping it.
void thctl_virtual_clock_auto(bool on);
// Called on the sleeping thread at the start of every sleep, with its length; tests use
// it to count cycles or to stop a worker at a chosen point. Empty to remove.
void thctl_set_sleep_hook(std::function<void(uint64_t usec)> hook);
// Waits (in real time, at most timeout_ms) until at least n threads sleep in
// thctl_sleep_us. Returns whether they did.
bool thctl_wait_sleepers(int n, int timeout_ms);
