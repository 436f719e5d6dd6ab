// SPDX-License-Identifier: GPL-3.0-or-later
// The timeout watch thread: once per heartbeat interval it takes offline every online
// pair whose last heartbeat is older than the effective time-out.
//
// Cancellation is enabled only for the stop test and the sleep at the top of a cycle;
// the scan runs disabled and holds tablemutex, so a stop never cuts it off and a
// receipt on the check thread never interleaves with it.
#include <zvripc.h>
#include <zvrxml.h>

#include <cstdint>
#include <mutex>

#include "diag/looptime.h"
#include "diag/tavik_log.h"
#include "rules/timeout.h"
#include "status.h"
#include "tavik/cancelstate.h"
#include "tavik/thctl.h"

namespace {

const char kThreadResult[] = "0";

// Takes one timed-out entry offline. Called with tablemutex held.
void timeout_entry(tavik_list_head *plist, tavik_list_rsc *prsc, tavik_list_node *pnode) {
    if (int ret = shmnm_setrscsvstat(TAVIK_RSC_TYPE, prsc->name, pnode->priority, RSCSV_OFFLINE); ret != 0) {
        TLOG_OP(LV_ERROR, "hbcheck", "shmnm_setrscsvstat(rsc:%s,nodeid:%d) failed(ret:%d)", prsc->name,
                pnode->priority, ret);
    }
    pnode->stat = RSCSV_OFFLINE;
    TLOG_OP(LV_ERROR, "hbcheck", "rsc(%s)/node(%s(%d)) -> OFFLINE", prsc->name, pnode->name, pnode->priority);
    setrscstat(plist, prsc);
}

}  // namespace

int hbcheck(tavik_list_head *plist) {
    TLOG_ENTER();
    const EffectiveTimeout eff = effectivetimeout(plist->hbto);
    TLOG(LV_DUMP, "HBTO(sec):%d,RATIO:%d,HBCL(clock):%d", eff.seconds, eff.ratio, static_cast<int>(eff.hbcl));
    bool change = false;
    {
        std::lock_guard lock(tablemutex);
        for (int i = 0; i < plist->currsc; ++i) {
            tavik_list_rsc *prsc = rscat(plist, i);
            tavik_list_node *pnode = nodesof(prsc);
            for (int j = 0; j < plist->curnode; ++j) {
                if (pnode[j].stat != RSCSV_ONLINE) {
                    continue;
                }
                const clock_t lastcl = pnode[j].lastrecv;
                const clock_t curcl = xmllib_times(0);
                const uint64_t diffcl = static_cast<uint64_t>(curcl) - static_cast<uint64_t>(lastcl);
                if (diffcl <= eff.hbcl) {
                    continue;
                }
                // The ticks are printed through 32-bit conversions: their low 32 bits.
                TLOG(LV_ERROR, "**TIMEOUT(cur:0x%08x,last:0x%08x,diff:%d,hbto:%d,tck:%d/sec)",
                     static_cast<unsigned>(curcl), static_cast<unsigned>(lastcl), static_cast<int>(diffcl),
                     eff.seconds, static_cast<int>(tckconf));
                timeout_entry(plist, prsc, &pnode[j]);
                change = true;
            }
        }
    }
    if (change) {
        if (int ret = sem_set_statchange(); ret != 0) {
            TLOG(LV_ERROR, "sem_set_statchange() failed(ret:%d)", ret);
        }
    }
    TLOG_EXIT(0);
    return 0;
}

void watchthexit(void *) {
    TLOG_ENTER();
    TLOG(LV_INFO, "hbwatch() exit");
    TLOG(LV_TRACE, "<<< EXIT >>>");
}

void *hbwatch(void *parg) {
    clock_t swclock = 0;
    clock_t wmaxclock = 0;
    TLOG(LV_INFO, "<<< ENTER >>>");
    thctl_cleanup_push(watchthexit, parg);
    cancel_disable();
    auto *plist = static_cast<tavik_list_head *>(parg);
    const uint64_t tavikint = rules::pause_us(plist->hbint);
    for (;;) {
        swclock = xmllib_times(0);
        cancel_enable();
        thctl_testcancel();
        if (bsigrecv != 0) {
            TLOG(LV_ERROR, "SIGUSR1 already received");
            break;
        }
        thctl_sleep_us(tavikint);
        cancel_disable();
        hbcheck(plist);
        thwlooptime(swclock, &wmaxclock);
    }
    TLOG(LV_INFO, "<<< EXIT >>> : 0x%08lx", 0UL);
    thctl_cleanup_pop(1);
    return const_cast<char *>(kThreadResult);
}
