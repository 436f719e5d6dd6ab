// SPDX-License-Identifier: GPL-3.0-or-later
// Scheduling and worker stack size. Stand-in until the scheduling work lands: the
// daemon runs with the inherited scheduling, unlocked, with the watch thread on and
// default stacks.
#include "tavik.h"

int setsched() { return 0; }

int setstacksz(pthread_attr_t *) { return 0; }
