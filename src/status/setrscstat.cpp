// SPDX-License-Identifier: GPL-3.0-or-later
// Resource status aggregation: a resource's status summarises its node states, with a
// failure of the own node (ERROR) ranked above a failure of a peer (CAUTION), then a
// node online (NORMAL), then all unused (UNUSED); UNKNOWN when no entry says anything.
// The status is stored and published on every call, changed or not.
//
// Thread safety: callers on a running table hold tablemutex across the node-state change
// and this recomputation; it takes no lock itself so that they can.
#include <zvripc.h>

#include "diag/tavik_log.h"
#include "status.h"

namespace {

struct Verdict {
    int status;
    const char *word;
};

Verdict judge(const tavik_list_head *plist, tavik_list_rsc *prsc) {
    bool bnormal = false;
    bool berror = false;
    bool bcaution = false;
    bool bunused = false;
    const tavik_list_node *pnode = nodesof(prsc);
    for (int j = 0; j < plist->curnode; ++j) {
        switch (pnode[j].stat) {
            case RSCSV_ONLINE:
                bnormal = true;
                break;
            case RSCSV_OFFLINE:
            case RSCSV_UNKNOWN:
                (pnode[j].priority == plist->mypri ? berror : bcaution) = true;
                break;
            case RSCSV_UNUSED:
                bunused = true;
                break;
            default:
                break;
        }
    }
    if (berror) {
        return {RSC_ERROR, "ERROR"};
    }
    if (bcaution) {
        return {RSC_CAUTION, "CAUTION"};
    }
    if (bnormal) {
        return {RSC_NORMAL, "NORMAL"};
    }
    if (bunused) {
        return {RSC_UNUSED, "UNUSED"};
    }
    return {RSC_UNKNOWN, "UNKNOWN"};
}

}  // namespace

int setrscstat(tavik_list_head *plist, tavik_list_rsc *prsc) {
    TLOG_ENTER();
    const Verdict v = judge(plist, prsc);
    prsc->stat = v.status;
    TLOG(LV_ERROR, "rsc(%s) status change to %s", prsc->name, v.word);
    if (int ret = shmnm_setrscstat(TAVIK_RSC_TYPE, prsc->name, v.status); ret != 0) {
        TLOG(LV_ERROR, "shmnm_setrscstat(TAVIK,%s,%d) failed(ret:%d)", prsc->name, v.status, ret);
    }
    TLOG_EXIT(0);
    return 0;
}
