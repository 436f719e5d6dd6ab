// SPDX-License-Identifier: GPL-3.0-or-later
// Signal dispositions and the signal thread. SIGUSR1 and SIGUSR2 are blocked in every
// thread and taken by one signal thread, which calls usr1_recv and usr2_recv; nothing
// runs in an asynchronous handler, so the receivers may log and take locks.
#pragma once

#include <mutex>

// Sets the dispositions of signals 1 to 30, blocks SIGUSR1 and SIGUSR2 in the calling
// thread (so that every thread created later inherits the mask) and starts the signal
// thread. Called first thing on the main thread. Returns 0, or non-zero when the
// signal thread could not be started (the dispositions are set all the same).
int tavik_signals_start();

// Holds off the receivers while the caller closes what they use (the log channel).
std::unique_lock<std::mutex> tavik_signals_hold();

// Stops and joins the signal thread; safe to call when it is not running.
void tavik_signals_stop();

// What one SIGUSR1 / SIGUSR2 does; called on the signal thread (and by tests).
void usr1_recv(int signo);
void usr2_recv(int signo);
