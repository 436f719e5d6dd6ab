// SPDX-License-Identifier: GPL-3.0-or-later
// How the daemon runs: its nice value, an optional real-time policy, the memory-lock
// wish and the watch-thread switch, all from policy "tavik"; and the worker threads'
// stack size.
//
// Thread safety: setsched runs once on the main thread before any worker exists, so
// the workers inherit what it sets; setstacksz runs on the main thread just before each
// worker is created. Neither is meant to run concurrently with anything else.
#include <sched.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zvrxml.h>

#include <cerrno>

#include "diag/tavik_log.h"
#include "signals.h"
#include "tavik.h"

namespace {

constexpr int kPolicyNotLoadable = 6;
constexpr int kDefaultNice = -20;  // the strongest the system offers
constexpr int kDefaultWatchth = 1;
constexpr int kMaxRtPriority = 99;
constexpr int kFallbackRtPriority = 1;
constexpr int kMlockSize = 16;

// Reads an integer key into *value; a failed read is logged and leaves the default.
int read_int(const char *path, int *value) {
    int buf = 0;
    int size = sizeof buf;
    int ret = xmllib_get_value(path, XMLLIB_TYPE_INT, &buf, &size);
    if (ret != 0) {
        TLOG(LV_ERROR, "xmllib_get_value(%s) failed(ret:%d)", path, ret);
        return ret;
    }
    *value = buf;
    return 0;
}

}  // namespace

int setsched() {
    TLOG_ENTER();
    int ret = xmllib_load_policy("tavik");
    if (ret != 0) {
        TLOG(LV_ERROR, "xmllib_load_policy(tavik) failed(ret:%d)", ret);
        TLOG_EXIT(kPolicyNotLoadable);
        return kPolicyNotLoadable;
    }

    int nice = kDefaultNice;
    read_int("/root/tavik/nice", &nice);

    char mlock[kMlockSize] = {};
    int size = sizeof mlock;
    ret = xmllib_get_value("/root/tavik/mlock", XMLLIB_TYPE_STRING, mlock, &size);
    if (ret != 0) {
        TLOG(LV_ERROR, "xmllib_get_value(%s) failed(ret:%d)", "/root/tavik/mlock", ret);
        bmlock = 0;
    } else {
        mlock[sizeof mlock - 1] = '\0';  // never trust a text to end inside its buffer
        bmlock = strcasecmp(mlock, "yes") == 0 ? 1 : 0;
    }

    int sched = 0;  // 0: keep the inherited policy
    read_int("/root/tavik/sched/schedule", &sched);
    int pri = 0;
    read_int("/root/tavik/sched/priority", &pri);
    int watchth = kDefaultWatchth;
    read_int("/root/tavik/watchth", &watchth);
    bwatchth = watchth;

    if (ret = xmllib_unload_policy("tavik"); ret != 0) {
        TLOG(LV_ERROR, "xmllib_unload_policy(tavik) failed(ret:%d)", ret);
    }

    if (setpriority(PRIO_PROCESS, 0, nice) != 0) {
        TLOG(LV_WARN, "setpriority(%d) failed(errno:%d)", nice, errno);
    }
    if (sched != 0) {
        if (pri <= 0 || pri > kMaxRtPriority) {
            pri = kFallbackRtPriority;
        }
        sched_param schedp = {};
        schedp.sched_priority = pri;
        // A refused policy leaves the process as it was; the line below shows what was
        // asked for either way.
        (void)sched_setscheduler(getpid(), sched, &schedp);
        TLOG(LV_WARN, "sched_setscheduler(sched:%d,pri:%d)", sched, pri);
    }
    // Linux applies both settings to the calling thread only; the signal thread already
    // exists and must not lag behind the workers it stops.
    tavik_signals_follow_sched();

    TLOG_EXIT(0);
    return 0;
}

int setstacksz(pthread_attr_t *ppattr) {
    TLOG_ENTER();
    size_t ptssize = 0;
    if (int ret = pthread_attr_getstacksize(ppattr, &ptssize); ret != 0) {
        TLOG(LV_ERROR, "pthread_attr_getstacksize() failed(ret:%d,errno:%d)", ret, errno);
    } else {
        TLOG(LV_DETAIL, "pthread_attr_getstacksize(%d)", static_cast<int>(ptssize));
    }
    if (thstacksz != 0) {
        if (int ret = pthread_attr_setstacksize(ppattr, static_cast<size_t>(thstacksz)); ret != 0) {
            // The thread is then created with the default size.
            TLOG(LV_ERROR, "pthread_attr_setstacksize(%d) failed(ret:%d,errno:%d)", thstacksz, ret, errno);
        } else {
            TLOG(LV_DETAIL, "pthread_attr_setstacksize(%d)", thstacksz);
        }
    }
    TLOG_EXIT(0);
    return 0;
}
