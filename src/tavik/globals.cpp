// SPDX-License-Identifier: GPL-3.0-or-later
// The process-wide globals and their initial values.
#include "tavik.h"

long tckconf = 0;
int bmlock = 0;
int brestart = 0;
int bmcinit = -2;
int libzvrbmcinit = 0;
std::atomic<int> bwatchth{1};
int thstacksz = 0;
int warnrate = 80;

std::atomic<int> bsigrecv{0};
std::atomic<int> bhbcheckbmc{0};
std::atomic<pthread_t> checkbmcpth{0};
std::atomic<pthread_t> watchpth{0};

pthread_mutex_t bmcmutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t bmccond = PTHREAD_COND_INITIALIZER;
int bmcready = 0;

std::mutex tablemutex;

const char srcrev[] = "$Revision: 1 $";
const char srcdate[] = "$Date: 18/03/07 15:54 $";

void tavik_reset_globals() {
    tckconf = 0;
    bmlock = 0;
    brestart = 0;
    bmcinit = -2;
    libzvrbmcinit = 0;
    bwatchth = 1;
    thstacksz = 0;
    warnrate = 80;
    bsigrecv = 0;
    bhbcheckbmc = 0;
    checkbmcpth = 0;
    watchpth = 0;
    bmcready = 0;
}
