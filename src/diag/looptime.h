// SPDX-License-Identifier: GPL-3.0-or-later
// Loop-time tracking: each worker logs whenever one cycle of its loop took longer than
// every cycle before it. Each function touches only its own thread's maximum.
#pragma once

#include <ctime>

// stime: tick at which the cycle began; *pmaxtime: the thread's running maximum, which
// the call may raise. Always 0.
int thslooptime(clock_t stime, clock_t *pmaxtime);  // check thread ("sloop")
int thwlooptime(clock_t stime, clock_t *pmaxtime);  // watch thread ("wloop")
