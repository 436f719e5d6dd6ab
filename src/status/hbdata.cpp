// SPDX-License-Identifier: GPL-3.0-or-later
// Heartbeat receipt, the delay warning and the effective time-out.
//
// hbdata runs on the check thread with tablemutex held by its caller (the match pass),
// so a receipt and a time-out of the same node never interleave. Its decisions rest on
// the published state, not on the node entry, so a publication that failed earlier is
// repaired by the next result.
#include <zvrbmc.h>
#include <zvripc.h>
#include <zvrlog.h>
#include <zvrxml.h>

#include <cstdint>

#include "diag/tavik_log.h"
#include "rules/timeout.h"
#include "status.h"

namespace {

constexpr int kDelayEvent = LOG_EVENT_HEARTBEAT_DELAY;

// A datagram within the target's time-out from a BMC whose host is alive.
bool heartbeat_seen(int bmcstat) {
    constexpr int kAlive = BMC_HB_DATAGRAM_SEEN | BMC_HB_HOST_ALIVE;
    return (bmcstat & kAlive) == kAlive;
}

// The published state of a pair, RSCSV_UNKNOWN when it cannot be read.
int published_state(const tavik_list_rsc *prsc, const tavik_list_node *pnode) {
    int getstat = 0;
    if (int ret = shmnm_getrscsvstat(TAVIK_RSC_TYPE, prsc->name, pnode->priority, &getstat); ret != 0) {
        TLOG_OP(LV_ERROR, "hbdata", "shmnm_getrscsvstat(rsc:%s,nodeid:%d) failed(ret:%d)", prsc->name,
                pnode->priority, ret);
        getstat = RSCSV_UNKNOWN;
    }
    return getstat;
}

// Publishes and stores a new state, recomputes the resource and tells the cluster.
void change_state(tavik_list_head *plist, tavik_list_rsc *prsc, tavik_list_node *pnode, int stat,
                  const char *word) {
    if (int ret = shmnm_setrscsvstat(TAVIK_RSC_TYPE, prsc->name, pnode->priority, stat); ret != 0) {
        TLOG_OP(LV_ERROR, "hbdata", "shmnm_setrscsvstat(rsc:%s,nodeid:%d) failed(ret:%d)", prsc->name,
                pnode->priority, ret);
    }
    pnode->stat = stat;
    TLOG_OP(LV_ERROR, "hbdata", "rsc(%s)/node(%s(%d)) -> %s", prsc->name, pnode->name, pnode->priority, word);
    setrscstat(plist, prsc);
    if (int ret = sem_set_statchange(); ret != 0) {
        TLOG_OP(LV_ERROR, "hbdata", "sem_set_statchange() failed(ret:%d)", ret);
    }
}

}  // namespace

EffectiveTimeout effectivetimeout(int hbto, const char *op) {
    int ratio = 0;
    int period = 0;
    if (int ret = shmcm_getratio(&ratio, &period); ret != 0) {
        TLOG_OP(LV_ERROR, op, "shmcm_getratio() failed(ret:%d)", ret);
    }
    return rules::effectivetimeout(hbto, ratio, tckconf);
}

int delaywarn(const char *rscname, const char *svname, clock_t lastcl, clock_t curcl, int hbto, int msgid) {
    TLOG_ENTER();
    const uint64_t diffcl = static_cast<uint64_t>(curcl) - static_cast<uint64_t>(lastcl);
    const EffectiveTimeout eff = effectivetimeout(hbto);
    const uint64_t warncl = rules::warnthreshold(eff.hbcl, warnrate);
    if (diffcl >= warncl) {
        log_write(phtaviklog.load(), LOG_LEVEL_EVENT, msgid, __FILE_NAME__, __LINE__, "delaywarn", nullptr,
                  rscname, svname, eff.seconds, tckconf, static_cast<unsigned long long>(diffcl), warnrate);
        TLOG(LV_DETAIL, "DELAY(rate=%d,id=%d,time=%d) : rsc=%s sv=%s", warnrate, msgid,
             static_cast<int>(diffcl), rscname, svname);
    }
    TLOG_EXIT(0);
    return 0;
}

int hbdata(tavik_list_head *plist, tavik_list_rsc *prsc, tavik_list_node *pnode, int bmcstat) {
    TLOG_ENTER();
    if (heartbeat_seen(bmcstat)) {
        const clock_t lastcl = pnode->lastrecv;
        pnode->lastrecv = xmllib_times(0);
        const clock_t curcl = pnode->lastrecv;
        if (published_state(prsc, pnode) == RSCSV_ONLINE) {
            delaywarn(prsc->name, pnode->name, lastcl, curcl, plist->hbto, kDelayEvent);
        } else {
            change_state(plist, prsc, pnode, RSCSV_ONLINE, "ONLINE");
        }
    } else if (published_state(prsc, pnode) == RSCSV_OFFLINE) {
        TLOG(LV_DETAIL, "TAVIK status is down(%s,%s(%d), stat:%#x)", prsc->name, pnode->name, pnode->priority,
             static_cast<unsigned>(bmcstat));
    } else {
        TLOG(LV_ERROR, "TAVIK status is down(%s,%s(%d), stat:%#x)", prsc->name, pnode->name, pnode->priority,
             static_cast<unsigned>(bmcstat));
        change_state(plist, prsc, pnode, RSCSV_OFFLINE, "OFFLINE");
    }
    TLOG_EXIT(0);
    return 0;
}
