// SPDX-License-Identifier: GPL-3.0-or-later
// Signal dispositions and the signal thread. SIGUSR1 and SIGUSR2 are blocked in every
// thread and taken by one signal thread, which calls usr1_recv and usr2_recv; nothing
// runs in an asynchronous handler, so the receivers may log and take locks.
//
// Thread safety: start, follow_sched and stop are called by the main thread only; the
// receivers run on the signal thread, one at a time, and tavik_signals_hold keeps them
// off while the main thread closes what they use.
#pragma once

#include <mutex>

// Sets the dispositions of signals 1 to 30 (31 and above keep what the process
// inherited), blocks SIGUSR1 and SIGUSR2 in the calling thread (so that every thread
// created later inherits the mask) and starts the signal thread. Called first thing on
// the main thread. Returns 0, or non-zero when the signal thread could not be started:
// the two signals are then left unblocked with handlers that only set the stop and start
// flags, which the workers find at their next look.
int tavik_signals_start();

// Gives the signal thread the calling thread's nice value and scheduling policy. The
// signal thread exists before the main thread sets how the daemon runs; without this it
// would stay behind the workers it has to stop. Does nothing when it is not running.
void tavik_signals_follow_sched();

// Holds off the receivers while the caller closes what they use (the log channel).
std::unique_lock<std::mutex> tavik_signals_hold();

// Stops and joins the signal thread; safe to call when it is not running.
void tavik_signals_stop();

// What one SIGUSR1 / SIGUSR2 does; called on the signal thread (and by tests).
void usr1_recv(int signo);
void usr2_recv(int signo);
