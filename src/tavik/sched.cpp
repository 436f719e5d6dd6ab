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
#include "rules/params.h"
#include "signals.h"
#include "tavik.h"

namespace {

constexpr int kPolicyNotLoadable = 6;

// Reads an integer key; a failed read is logged and gives the key's default.
int read_int(rules::Key key) {
    const rules::Param &p = rules::param(key);
    int buf = 0;
    int size = sizeof buf;
    if (int ret = xmllib_get_value(p.path, XMLLIB_TYPE_INT, &buf, &size); ret != 0) {
        TLOG_OP(LV_ERROR, "setsched", "xmllib_get_value(%s) failed(ret:%d)", p.path, ret);
        return p.defval;
    }
    return buf;
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

    const int nice = read_int(rules::Key::nice);

    char mlock[rules::kMlockSize] = {};
    int size = sizeof mlock;
    ret = xmllib_get_value(rules::kMlockPath, XMLLIB_TYPE_STRING, mlock, &size);
    if (ret != 0) {
        TLOG(LV_ERROR, "xmllib_get_value(%s) failed(ret:%d)", rules::kMlockPath, ret);
        bmlock = 0;
    } else {
        mlock[sizeof mlock - 1] = '\0';  // never trust a text to end inside its buffer
        bmlock = strcasecmp(mlock, "yes") == 0 ? 1 : 0;
    }

    const int sched = read_int(rules::Key::schedule);  // 0: keep the inherited policy
    const int pri = read_int(rules::Key::priority);
    bwatchth = read_int(rules::Key::watchth);

    if (ret = xmllib_unload_policy("tavik"); ret != 0) {
        TLOG(LV_ERROR, "xmllib_unload_policy(tavik) failed(ret:%d)", ret);
    }

    if (setpriority(PRIO_PROCESS, 0, nice) != 0) {
        TLOG(LV_WARN, "setpriority(%d) failed(errno:%d)", nice, errno);
    }
    if (sched != 0) {
        sched_param schedp = {};
        schedp.sched_priority = rules::rtpriority(sched, pri);
        // A refused policy leaves the process as it was; the line below shows what was
        // asked for either way.
        (void)sched_setscheduler(getpid(), sched, &schedp);
        TLOG(LV_WARN, "sched_setscheduler(sched:%d,pri:%d)", sched, schedp.sched_priority);
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
