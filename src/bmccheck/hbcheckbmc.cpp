// SPDX-License-Identifier: GPL-3.0-or-later
// The BMC check thread: set-up (target list, handshake, access time-out, stop
// programming, start gate), the polling cycle, and the exit clean-up.
//
// Cancellation is disabled wherever the thread talks to the BMC or touches the table,
// and enabled only around its sleeps and explicit tests, so a stop never lands inside a
// BMC exchange or a state update. The table is walked under tablemutex only in the
// match pass, the one place the watch thread's writes can meet ours.
#include <zvrbmc.h>
#include <zvrxml.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "checkbmc.h"
#include "diag/looptime.h"
#include "diag/tavik_log.h"
#include "rules/targets.h"
#include "rules/timeout.h"
#include "status/status.h"
#include "tavik/cancelstate.h"
#include "tavik/thctl.h"

namespace {

constexpr int kMaxTargets = rules::kMaxTargets;
constexpr int kBlockSize = BMC_BLOCK_RECORDS;
constexpr uint64_t kPollPauseUs = 1000000;
const char kThreadResult[] = "0";

int result_state(const BMC_INFO_GET &r) {
    return (r.stat[0] & BMC_RESULT_MASK) >> BMC_RESULT_SHIFT;
}

// What the thread keeps for its whole life.
struct Checker {
    tavik_list_head *plist = nullptr;
    std::array<BMC_INFO_SET, kMaxTargets> tavikinfoset{};
    std::array<BMC_INFO_GET, kMaxTargets> tavikinfoget{};
    int curtarget = 0;
    int curblock = 0;
    uint64_t tavikint = 0;  // the pause in microseconds
    clock_t ssclock = 0;
    clock_t smaxclock = 0;
};

template <typename Fn>
void for_each_node(tavik_list_head *plist, Fn &&fn) {
    for (int i = 0; i < plist->currsc; ++i) {
        tavik_list_rsc *prsc = rscat(plist, i);
        tavik_list_node *pnode = nodesof(prsc);
        for (int j = 0; j < plist->curnode; ++j) {
            fn(prsc, &pnode[j]);
        }
    }
}

void build_targets(Checker &c) {
    c.tavikinfoset.fill(BMC_INFO_SET{});
    c.curtarget = 0;
    for_each_node(c.plist, [&c](tavik_list_rsc *prsc, tavik_list_node *pnode) {
        switch (rules::targetverdict(pnode->stat == RSCSV_UNUSED, pnode->ip[0] != '\0', c.curtarget)) {
            case rules::Verdict::unused:
                TLOG_OP(LV_DETAIL, "hbcheckbmc", "unused resource(rsc:%s,node:%s)", prsc->name, pnode->name);
                break;
            case rules::Verdict::no_address:
                TLOG_OP(LV_DETAIL, "hbcheckbmc", "IP address is empty(rsc:%s,node:%s)", prsc->name,
                        pnode->name);
                break;
            case rules::Verdict::no_room:
                TLOG_OP(LV_ERROR, "hbcheckbmc", "do not set block.(blk=%#x)",
                        static_cast<unsigned>(c.curtarget + 1));
                break;
            case rules::Verdict::target: {
                BMC_INFO_SET &t = c.tavikinfoset[static_cast<size_t>(c.curtarget)];
                t.ip = pnode->ip_int;
                t.timeout = rules::targettimeout_field(c.plist->hbto);
                t.ctrl = BMC_CTRL_STOP;
                TLOG_OP(LV_INFO, "hbcheckbmc", "tavikinfoset set config (ip:%#x, timeout:%d, ctrl:%#x)", t.ip,
                        t.timeout, t.ctrl);
                ++c.curtarget;
                break;
            }
        }
    });
}

void signal_main_thread() {
    if (int ret = pthread_mutex_lock(&bmcmutex); ret != 0) {
        TLOG_OP(LV_ERROR, "hbcheckbmc", "pthread_mutex_lock() failed(ret:%d,errno:%d)", ret, errno);
    }
    bmcready = 1;
    if (int ret = pthread_cond_signal(&bmccond); ret != 0) {
        TLOG_OP(LV_ERROR, "hbcheckbmc", "pthread_cond_signal() failed(ret:%d,errno:%d)", ret, errno);
    }
    if (int ret = pthread_mutex_unlock(&bmcmutex); ret != 0) {
        TLOG_OP(LV_ERROR, "hbcheckbmc", "pthread_mutex_unlock() failed(ret:%d,errno:%d)", ret, errno);
    }
}

void send_access_time(const Checker &c) {
    const uint16_t accesstimeout = rules::accesstimeout_field(c.plist->hbto);
    if (bmcinit != 0) {
        return;
    }
    uint8_t cc = 0;
    int ret = bmc_SetZelvarinAccessTime(BMC_CMD_SET_ACCESS_TIME, accesstimeout, &cc);
    if (ret != 0 || cc != 0) {
        TLOG_OP(LV_ERROR, "hbcheckbmc", "bmc_SetZelvarinAccessTime() failed(ret:%d,CompletionCode:%#x)", ret,
                cc);
    } else {
        TLOG_OP(LV_INFO, "hbcheckbmc", "bmc_SetZelvarinAccessTime() executed(timeout:%d)", accesstimeout);
    }
}

bool program_block(Checker &c, int b, const char *ctrlword, int oklevel) {
    uint8_t cc = 0;
    uint8_t blocknumber = 0;
    int ret =
        bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, static_cast<uint8_t>(b),
                               &c.tavikinfoset[static_cast<size_t>(kBlockSize * (b - 1))], &cc, &blocknumber);
    if (ret == 0 && cc == 0) {
        TLOG_OP(oklevel, "hbcheckbmc", "bmc_SetBmcIpAddressAll success (Block:%#x ctrl:%s).", blocknumber,
                ctrlword);
        return true;
    }
    TLOG_OP(LV_ERROR, "hbcheckbmc", "bmc_SetBmcIpAddressAll failed(ret:%d,CompletionCode:%#x)", ret, cc);
    return false;
}

// Programs every block in the stop state, retrying a refused block until it is taken.
// A stop request ends the pass too: one that came before this thread existed leaves no
// cancellation request, and a refusing BMC must not keep the daemon from stopping.
void program_stopped(Checker &c) {
    if (bmcinit != 0) {
        return;
    }
    for (int b = 1; b <= c.curblock; ++b) {
        while (!program_block(c, b, "stop", LV_INFO)) {
            if (bsigrecv != 0) {
                return;
            }
            thctl_testcancel();
            thctl_sleep_us(c.tavikint);
        }
    }
}

void wait_at_gate() {
    for (;;) {
        if (bhbcheckbmc != 0) {
            TLOG_OP(LV_ERROR, "hbcheckbmc", "START: hbcheckbmc");
            return;
        }
        if (bsigrecv != 0) {
            TLOG_OP(LV_ERROR, "hbcheckbmc", "SIGUSR1 already received");
            return;
        }
        thctl_testcancel();
        thctl_sleep_us(kPollPauseUs);
    }
}

void set_up(Checker &c) {
    cancel_disable();
    c.tavikint = rules::pause_us(c.plist->hbint);
    build_targets(c);
    signal_main_thread();
    send_access_time(c);
    c.curblock = c.curtarget == 0 ? 0 : (c.curtarget - 1) / kBlockSize + 1;
    TLOG_OP(LV_ERROR, "hbcheckbmc", "current target ip:%d, current block:%d", c.curtarget, c.curblock);
    cancel_enable();
    thctl_testcancel();
    program_stopped(c);
    wait_at_gate();
    cancel_disable();
    for (int t = 0; t < c.curtarget; ++t) {
        c.tavikinfoset[static_cast<size_t>(t)].ctrl = BMC_CTRL_START;
    }
}

bool send_running_status() {
    uint8_t cc = 0;
    int ret = bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc);
    if (ret != 0 || cc != 0) {
        TLOG_OP(LV_ERROR, "hbcheckbmc", "bmc_SetZelvarinStatus() failed(ret:%d, CompletionCode:%#x ctrl:%#x)",
                ret, cc, BMC_STATUS_RUNNING);
        return false;
    }
    TLOG_OP(LV_DETAIL, "hbcheckbmc", "bmc_SetZelvarinStatus() executed.(ctrl:%#x)", BMC_STATUS_RUNNING);
    return true;
}

void program_started(Checker &c) {
    for (int b = 1; kBlockSize * (b - 1) < c.curtarget; ++b) {
        if (!program_block(c, b, "start", LV_DETAIL)) {
            thctl_sleep_us(c.tavikint);
        }
    }
}

void dump_targets(const Checker &c) {
    for (int b = 1; b <= c.curblock; ++b) {
        for (int s = 0; s < kBlockSize; ++s) {
            const BMC_INFO_SET &t = c.tavikinfoset[static_cast<size_t>(kBlockSize * (b - 1) + s)];
            TLOG_OP(LV_DUMP, "hbcheckbmc", "blk:[%d] tavikinfoset[%d].ip:%#x, ctrl:%#x", b, s, t.ip, t.ctrl);
        }
    }
}

// Reads every block; false at the first refused one (nothing of the pass is then used).
bool poll_blocks(Checker &c, uint8_t &cc) {
    c.tavikinfoget.fill(BMC_INFO_GET{});
    for (int b = 1; b <= c.curblock; ++b) {
        uint8_t blocknumber = 0;
        int ret = bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, static_cast<uint8_t>(b), &cc, &blocknumber,
                                      &c.tavikinfoget[static_cast<size_t>(kBlockSize * (b - 1))]);
        if (ret != 0 || cc != 0) {
            TLOG_OP(LV_ERROR, "hbcheckbmc", "bmc_GetBmcStatusAll failed(ret:%d,CompletionCode:%#x)", ret, cc);
            return false;
        }
    }
    return true;
}

void dump_results(const Checker &c, uint8_t cc) {
    for (int b = 1; b <= c.curblock; ++b) {
        for (int s = 0; s < kBlockSize; ++s) {
            const BMC_INFO_GET &r = c.tavikinfoget[static_cast<size_t>(kBlockSize * (b - 1) + s)];
            TLOG_OP(LV_DETAIL, "hbcheckbmc",
                    "blk:[%d] tavikinfoget[%d].ip:%#x, stat[0]:%#x, stat[1]:%#x, CompletionCode:%#x", b, s,
                    r.ip, r.stat[0], r.stat[1], cc);
        }
    }
}

const BMC_INFO_GET *find_result(const Checker &c, uint32_t ip) {
    for (int n = 0; n < kBlockSize * c.curblock; ++n) {
        if (c.tavikinfoget[static_cast<size_t>(n)].ip == ip) {
            return &c.tavikinfoget[static_cast<size_t>(n)];
        }
    }
    return nullptr;
}

// Hands every ready result to hbdata; returns how many entries are still collecting.
int match_results(Checker &c) {
    int collecting = 0;
    std::lock_guard lock(tablemutex);
    for_each_node(c.plist, [&](tavik_list_rsc *prsc, tavik_list_node *pnode) {
        if (pnode->stat == RSCSV_UNUSED) {
            TLOG_OP(LV_DETAIL, "hbcheckbmc", "unused resource(rsc:%s,node:%s)", prsc->name, pnode->name);
            return;
        }
        if (pnode->ip[0] == '\0') {
            TLOG_OP(LV_DETAIL, "hbcheckbmc", "IP address is empty(rsc:%s,node:%s)", prsc->name, pnode->name);
            return;
        }
        if (pnode->newstat == 0) {
            return;
        }
        const BMC_INFO_GET *r = find_result(c, pnode->ip_int);
        if (r == nullptr) {
            TLOG_OP(LV_ERROR, "hbcheckbmc", "ip(%#x) is not exist in returned blocks.", pnode->ip_int);
            return;
        }
        switch (result_state(*r)) {
            case BMC_RESULT_COLLECTING:
                ++collecting;
                break;
            case BMC_RESULT_READY:
                pnode->newstat = 0;
                hbdata(c.plist, prsc, pnode, r->stat[1]);
                break;
            default:
                pnode->newstat = 0;
                break;
        }
    });
    return collecting;
}

void collect(Checker &c) {
    for (;;) {
        if (bsigrecv != 0) {
            TLOG_OP(LV_ERROR, "hbcheckbmc", "SIGUSR1 already received");
            return;
        }
        cancel_enable();
        thctl_testcancel();
        thctl_sleep_us(kPollPauseUs);
        cancel_disable();
        uint8_t cc = 0;
        if (!poll_blocks(c, cc)) {
            return;
        }
        dump_results(c, cc);
        if (match_results(c) == 0) {
            return;
        }
    }
}

void mark_awaited(Checker &c) {
    // newstat is this thread's own field; the watch thread never reads or writes it.
    for_each_node(c.plist, [](tavik_list_rsc *, tavik_list_node *pnode) { pnode->newstat = 1; });
}

// One cycle with a usable BMC; false when the BMC refused the running status.
bool run_cycle(Checker &c) {
    if (!send_running_status()) {
        cancel_enable();
        thctl_testcancel();
        thctl_sleep_us(c.tavikint);
        return false;
    }
    program_started(c);
    dump_targets(c);
    mark_awaited(c);
    collect(c);
    return true;
}

void poll_until_stopped(Checker &c) {
    for (;;) {
        if (bsigrecv != 0) {
            TLOG_OP(LV_ERROR, "hbcheckbmc", "SIGUSR1 already received");
            return;
        }
        c.ssclock = xmllib_times(0);
        cancel_disable();
        if (bmcinit == 0 && !run_cycle(c)) {
            continue;
        }
        cancel_enable();
        thctl_testcancel();
        if (bsigrecv != 0) {
            TLOG_OP(LV_ERROR, "hbcheckbmc", "SIGUSR1 already received");
            return;
        }
        thctl_sleep_us(c.tavikint);
        thslooptime(c.ssclock, &c.smaxclock);
    }
}

}  // namespace

void checkbmcthexit(void *) {
    TLOG_ENTER();
    if (bmcinit == 0) {
        uint8_t cc = 0;
        int ret = bmc_SetZelvarinStatus(1, BMC_STATUS_CHECK_STOPPED, &cc);
        if (ret != 0 || cc != 0) {
            TLOG(LV_ERROR, "bmc_SetZelvarinStatus() failed(ctrl:%d ret:%d completioncode:%#x).",
                 BMC_STATUS_CHECK_STOPPED, ret, cc);
        } else {
            TLOG(LV_INFO, "bmc_SetZelvarinStatus() executed.(ctrl:%#x)", BMC_STATUS_CHECK_STOPPED);
        }
    }
    TLOG(LV_INFO, "hbcheckbmc() exit");
    TLOG(LV_TRACE, "<<< EXIT >>>");
}

void *hbcheckbmc(void *parg) {
    TLOG(LV_INFO, "<<< ENTER >>>");
    thctl_cleanup_push(checkbmcthexit, parg);
    Checker c;
    c.plist = static_cast<tavik_list_head *>(parg);
    set_up(c);
    poll_until_stopped(c);
    TLOG(LV_INFO, "<<< EXIT >>> : 0x%08lx", 0UL);
    thctl_cleanup_pop(1);
    return const_cast<char *>(kThreadResult);
}
