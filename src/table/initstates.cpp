// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up states of a freshly built table. A fresh start puts every used node offline;
// resume mode (a restart, or the cluster in one of its resume actions) takes over the
// states the cluster holds, so heartbeats that were online stay online. A node without a
// BMC address is unused, and so is every node of a block in which the own host has none.
//
// Thread safety: runs on the main thread before the worker threads exist. It still
// holds tablemutex, like every other writer of node states and resource statuses.
#include <zvripc.h>
#include <zvrxml.h>

#include <cstring>
#include <mutex>

#include "diag/tavik_log.h"
#include "rules/targets.h"
#include "status/status.h"
#include "tablebuild.h"

namespace {

constexpr int kActionResume1 = 0x1000005;
constexpr int kActionResume2 = 0x2000005;
constexpr int kActionUnreadable = 0x2000000;

bool resumemode() {
    int act = 0;
    char acttype[32] = {};
    if (int ret = shmcm_getaction(&act, acttype, 0); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "shmcm_getaction() failed(ret:%d)", ret);
        act = kActionUnreadable;
    }
    if (act == kActionResume1 || act == kActionResume2 || brestart == 1) {
        TLOG_OP(LV_ERROR, "loadinfo", "change mode to resume(act:0x%08x)", static_cast<unsigned>(act));
        return true;
    }
    return false;
}

// One resource block being given its states.
struct Block {
    tavik_list_rsc *prsc;
    tavik_list_node *pnode;
    int curnode;
    const char *myname;
    bool bresume;
};

// A state the cluster could not tell is taken as unknown, as the receipt path does,
// rather than publishing whatever the library left behind.
void readprevious(const Block &b, tavik_list_node *pnode) {
    int stat = RSCSV_UNKNOWN;
    if (int ret = shmnm_getrscsvstat(TAVIK_RSC_TYPE, b.prsc->name, pnode->priority, &stat); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "shmnm_getrscsvstat(rsc:%s,nodeid:%d) failed(ret:%d)", b.prsc->name,
                pnode->priority, ret);
        stat = RSCSV_UNKNOWN;
    }
    pnode->stat = stat;
    pnode->lastrecv = xmllib_times(0);
    TLOG_OP(LV_ERROR, "loadinfo", "rsc(%s)/node(%s(%d)) prev stat:0x%08x", b.prsc->name, pnode->name,
            pnode->priority, static_cast<unsigned>(pnode->stat));
}

// The own host's record when it has no address in this block (the first such record).
const tavik_list_node *unaddressedownhost(const Block &b) {
    for (int k = 0; k < b.curnode; ++k) {
        if (b.pnode[k].ip[0] == '\0' && std::strcmp(b.pnode[k].name, b.myname) == 0) {
            return &b.pnode[k];
        }
    }
    return nullptr;
}

void logchange(const Block &b, const tavik_list_node *pnode, const char *what) {
    TLOG_OP(LV_ERROR, "loadinfo", "->rsc(%s)/node(%s(%d)) change to %s", b.prsc->name, pnode->name,
            pnode->priority, what);
}

// A used node: offline at a fresh start; resuming, it keeps what the cluster held unless
// it was unused.
bool decideused(const Block &b, tavik_list_node *pnode, int prev) {
    if (!b.bresume) {
        pnode->stat = RSCSV_OFFLINE;
        return false;
    }
    if (prev != RSCSV_UNUSED) {
        return false;
    }
    TLOG_OP(LV_ERROR, "loadinfo", "rsc(%s)/node(%s(%d)) used", b.prsc->name, pnode->name, pnode->priority);
    logchange(b, pnode, "offline");
    pnode->stat = RSCSV_OFFLINE;
    return true;
}

// Decides one node's state; true when, resuming, it differs from what the cluster held.
bool decide(const Block &b, tavik_list_node *pnode) {
    const int prev = pnode->stat;
    const bool has_address = pnode->ip[0] != '\0';
    const tavik_list_node *pown = unaddressedownhost(b);
    if (!rules::pairunused(has_address, pown == nullptr)) {
        return decideused(b, pnode, prev);
    }
    if (!has_address) {
        TLOG_OP(LV_ERROR, "loadinfo", "rsc(%s)/node(%s(%d)) unused", b.prsc->name, pnode->name,
                pnode->priority);
        const bool changed = b.bresume && prev != RSCSV_UNUSED;
        if (changed) {
            logchange(b, pnode, "unused");
        }
        pnode->stat = RSCSV_UNUSED;
        if (std::strcmp(pnode->name, b.myname) == 0) {
            for (int k = 0; k < b.curnode; ++k) {
                b.pnode[k].stat = RSCSV_UNUSED;
            }
        }
        return changed;
    }
    if (b.bresume && prev == RSCSV_UNUSED) {
        return false;
    }
    TLOG_OP(LV_ERROR, "loadinfo", "rsc(%s)/node(own:%s) unused", b.prsc->name, pown->name);
    logchange(b, pnode, "unused");
    pnode->stat = RSCSV_UNUSED;
    return b.bresume;
}

void publish(const Block &b, const tavik_list_node *pnode) {
    if (int ret = shmnm_setrscsvstat(TAVIK_RSC_TYPE, b.prsc->name, pnode->priority, pnode->stat); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "shmnm_setrscsvstat(rsc:%s,nodeid:%d) failed(ret:%d)", b.prsc->name,
                pnode->priority, ret);
    }
}

bool initblock(const Block &b) {
    bool bsetsem = false;
    for (int j = 0; j < b.curnode; ++j) {
        tavik_list_node *pnode = &b.pnode[j];
        if (b.bresume) {
            readprevious(b, pnode);
        }
        bsetsem = decide(b, pnode) || bsetsem;
        publish(b, pnode);
    }
    return bsetsem;
}

}  // namespace

void initstates(tavik_list_head *plist, const char *myname) {
    std::lock_guard hold(tablemutex);
    const bool bresume = resumemode();
    bool bsetsem = false;
    for (int i = 0; i < plist->currsc; ++i) {
        tavik_list_rsc *prsc = rscat(plist, i);
        if (!rules::resourceactive(prsc->devid)) {
            TLOG_OP(LV_WARN, "loadinfo", "device id(%d) is invalid", prsc->devid);
            continue;
        }
        bsetsem = initblock({prsc, nodesof(prsc), plist->curnode, myname, bresume}) || bsetsem;
    }
    for (int i = 0; i < plist->currsc; ++i) {
        setrscstat(plist, rscat(plist, i));
    }
    // At a fresh start the cluster learns the states from the status publication alone.
    if (bresume && bsetsem) {
        if (int ret = sem_set_statchange(); ret != 0) {
            TLOG_OP(LV_ERROR, "loadinfo", "sem_set_statchange() failed(ret:%d)", ret);
        }
    }
}
