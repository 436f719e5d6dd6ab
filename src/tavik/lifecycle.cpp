// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's life on the main thread: start-up, the two worker threads, shutdown.
// Every release step of the shutdown runs even when an earlier one failed; only four
// start-up failures end the process early, each with its own status.
#include <sys/mman.h>
#include <unistd.h>
#include <zvrbmc.h>
#include <zvripc.h>
#include <zvrlog.h>
#include <zvrxml.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "bmccheck/checkbmc.h"
#include "diag/tavik_log.h"
#include "signals.h"
#include "status/status.h"
#include "table/table.h"
#include "tavik.h"
#include "thctl.h"

namespace {

constexpr int kExitIpc = 1;
constexpr int kExitXmlInit = 4;
constexpr int kExitConfig = 9;
constexpr int kExitTable = 10;
constexpr int kExitIpcLost = 11;
constexpr long kFallbackTicks = 100;
constexpr int kHandshakeWaits = 3;

// A worker thread as the main thread sees it.
struct Worker {
    const char *name;  // "checkbmc" or "watch", as the messages name it
    void *(*entry)(void *);
    std::atomic<pthread_t> &handle;
    pthread_attr_t attr;
    bool attr_ready = false;
};

// A receiver on the signal thread may be writing to the channel; it must not be closed
// under it.
void close_log_channel() {
    auto hold = tavik_signals_hold();
    tavik_logterm();
}

// A packaged build passes its date in, so that rebuilding the same source gives the
// same binary.
#ifdef TAVIK_BUILD_DATE
constexpr const char *build_date = TAVIK_BUILD_DATE;
constexpr const char *build_time = TAVIK_BUILD_TIME;
#else
constexpr const char *build_date = __DATE__;
constexpr const char *build_time = __TIME__;
#endif

void start_log_channel() {
    tavik_loginit();
    TLOG_OP(LV_INFO, "main", "tavik starting");
    TLOG_OP(LV_ERROR, "main", "%s %s", srcrev, srcdate);
    TLOG_OP(LV_ERROR, "main", "MAKE: %s %s", build_date, build_time);
}

void read_clock_rate() {
    errno = 0;
    tckconf = sysconf(_SC_CLK_TCK);
    if (tckconf == -1) {
        TLOG_OP(LV_ERROR, "main", "sysconf(_SC_CLK_TCK) failed(errno:%d) -> use %d", errno,
                static_cast<int>(kFallbackTicks));
        tckconf = kFallbackTicks;
    }
    TLOG_OP(LV_INFO, "main", "clock:%d per sec", static_cast<int>(tckconf));
}

void lock_memory() {
    if (bmlock == 1 && mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        TLOG_OP(LV_WARN, "main", "mlockall() failed(errno:%d)", errno);
        bmlock = 0;
    }
}

// The last act before the process ends: the signal thread is gone by then.
void unlock_memory() {
    if (bmlock == 1) {
        munlockall();
    }
}

// Start-up steps 13 and 14: the BMC library, the BMC and the daemon's start status.
void init_bmc() {
    if (int ret = libzvrbmc_init(); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "libzvrbmc_init() failed(ret:%d )", ret);
        log_write(phtaviklog.load(), LOG_LEVEL_EVENT, LOG_EVENT_BMC_INIT_FAILED, __FILE_NAME__, __LINE__,
                  "main", nullptr);
        libzvrbmcinit = 0;
    } else {
        TLOG_OP(LV_INFO, "main", "libzvrbmc_init() succeed.(%d)", ret);
        libzvrbmcinit = 1;
    }
    if (int ret = bmc_init(); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "bmc_init() failed(ret:%d )", ret);
        log_write(phtaviklog.load(), LOG_LEVEL_EVENT, LOG_EVENT_BMC_INIT_FAILED, __FILE_NAME__, __LINE__,
                  "main", nullptr);
        return;
    }
    bmcinit += 1;
    uint8_t cc = 0;
    int ret = bmc_SetZelvarinStatus(1, BMC_STATUS_STARTED, &cc);
    if (ret != 0 || cc != 0) {
        TLOG_OP(LV_ERROR, "main", "bmc_SetZelvarinStatus() failed(ret:%d,CompletionCode:%#x)", ret, cc);
    } else {
        TLOG_OP(LV_INFO, "main", "bmc_SetZelvarinStatus() executed.(ctrl:%#x)", BMC_STATUS_STARTED);
        bmcinit += 1;
    }
}

// Shutdown steps 22 to 24.
void term_bmc() {
    if (bmcinit == 0) {
        uint8_t cc = 0;
        int ret = bmc_SetZelvarinStatus(1, BMC_STATUS_SHUTDOWN, &cc);
        if (ret != 0 || cc != 0) {
            TLOG_OP(LV_ERROR, "main", "bmc_SetZelvarinStatus() failed(stat:%#x ret:%d,CompletionCode:%#x)",
                    BMC_STATUS_SHUTDOWN, ret, cc);
        } else {
            TLOG_OP(LV_INFO, "main", "bmc_SetZelvarinStatus() executed.(ctrl:%#x)", BMC_STATUS_SHUTDOWN);
        }
        bmcinit -= 1;
    }
    if (bmcinit == -1) {
        if (int ret = bmc_term(); ret != 0) {
            TLOG_OP(LV_ERROR, "main", "bmc_term() failed(ret:%d )", ret);
        } else {
            TLOG_OP(LV_INFO, "main", "bmc_term() executed.");
        }
        bmcinit -= 1;
    }
    if (libzvrbmcinit == 1) {
        if (int ret = libzvrbmc_term(); ret != 0) {
            TLOG_OP(LV_ERROR, "main", "libzvrbmc_term() failed.(%d)", ret);
        } else {
            TLOG_OP(LV_INFO, "main", "libzvrbmc_term() succeed.(%d)", ret);
        }
        libzvrbmcinit = 0;
    }
}

void start_worker(Worker &w, tavik_list_head *plist) {
    if (int ret = pthread_attr_init(&w.attr); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "pthread_attr_init(%s) failed(ret:%d,errno:%d)", w.name, ret, errno);
        return;
    }
    w.attr_ready = true;
    setstacksz(&w.attr);
    pthread_t th;
    if (int ret = thctl_create(&th, &w.attr, w.entry, plist); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "pthread_create(%s) failed(ret:%d,errno:%d)", w.name, ret, errno);
        return;
    }
    w.handle = th;
}

void join_worker(Worker &w) {
    // A thread that could not be created has nothing to join; its failure is logged.
    if (pthread_t th = w.handle.load(); th != 0) {
        void *thret = nullptr;
        if (int ret = thctl_join(th, &thret); ret != 0) {
            TLOG_OP(LV_ERROR, "main", "pthread_join(%s) failed(ret:%d,errno:%d)", w.name, ret, errno);
        } else {
            if (thret == PTHREAD_CANCELED) {
                TLOG_OP(LV_INFO, "main", "pthread_join(%s) success(ret:%d,canceled)", w.name, ret);
            } else {
                TLOG_OP(LV_INFO, "main", "pthread_join(%s) success(ret:%d,thret:%s)", w.name, ret,
                        thret != nullptr ? static_cast<const char *>(thret) : "(null)");
            }
            w.handle = 0;
        }
    }
    if (w.attr_ready) {
        pthread_attr_destroy(&w.attr);
        w.attr_ready = false;
    }
}

// Step 16: waits at most three seconds for the check thread's set-up signal. The
// bmcready flag keeps a signal that came before the wait from being lost.
void await_check_thread() {
    if (int ret = pthread_mutex_lock(&bmcmutex); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "pthread_mutex_lock() failed(ret:%d,errno:%d)", ret, errno);
        return;
    }
    for (int attempt = 0; attempt < kHandshakeWaits; ++attempt) {
        if (bmcready == 0) {
            timespec waitspec;
            clock_gettime(CLOCK_MONOTONIC, &waitspec);
            waitspec.tv_sec += 1;
            (void)pthread_cond_clockwait(&bmccond, &bmcmutex, CLOCK_MONOTONIC, &waitspec);
        }
        if (bmcready != 0) {
            TLOG_OP(LV_ERROR, "main", "checkbmc thread initialized");
            break;
        }
        TLOG_OP(LV_ERROR, "main", "waiting checkbmc thread initialize");
    }
    if (int ret = pthread_mutex_unlock(&bmcmutex); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "pthread_mutex_unlock() failed(ret:%d,errno:%d)", ret, errno);
    }
}

// What start-up has reached, released in one fixed order when the daemon ends, however
// far it got; no release step depends on an earlier one having succeeded. The table is
// owned here from the moment it exists.
class Teardown {
  public:
    enum class Stage { signals, xml, log, ipc, running };

    void reach(Stage stage) { reached_ = stage; }
    void config_loaded(bool loaded) { config_ = loaded; }
    void own(tavik_list_head *plist) { table_.reset(plist); }
    tavik_list_head *table() const { return table_.get(); }

    int finish(int status) {
        const bool running = reached_ >= Stage::running;
        if (running) {
            term_bmc();
            detachipc();
        }
        if (reached_ >= Stage::log) {
            TLOG_OP(LV_INFO, "main", "tavik shutting down");
            close_log_channel();
        }
        // Start-up that failed with the IPC attached lets go of it after the channel.
        if (reached_ >= Stage::ipc && !running) {
            detachipc();
        }
        if (config_) {
            xmllib_unload_config();
            config_ = false;
        }
        if (reached_ >= Stage::xml) {
            xmllib_term();
        }
        table_.reset();
        tavik_signals_stop();
        unlock_memory();
        return status;
    }

  private:
    struct FreeTable {
        void operator()(tavik_list_head *plist) const { std::free(plist); }
    };
    Stage reached_ = Stage::signals;
    bool config_ = false;
    std::unique_ptr<tavik_list_head, FreeTable> table_;
};

}  // namespace

int tavik_main() {
    using Stage = Teardown::Stage;
    Teardown teardown;
    tavik_signals_start();
    if (xmllib_init("tavik") != 0) {
        return teardown.finish(kExitXmlInit);
    }
    teardown.reach(Stage::xml);
    if (xmllib_load_config() != 0) {
        return teardown.finish(kExitConfig);
    }
    teardown.config_loaded(true);
    start_log_channel();
    teardown.reach(Stage::log);
    kill(getppid(), SIGUSR1);
    read_clock_rate();
    if (int ret = setsched(); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "setsched() failed(ret:%d)", ret);
    }
    lock_memory();

    if (int ret = attachipc(); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "attachipc() failed(ret:%d)", ret);
        return teardown.finish(kExitIpc);
    }
    teardown.reach(Stage::ipc);
    int waitstat = 0;
    if (int ret = shmnm_getwaitstat(&waitstat); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "shmnm_getwaitstat() failed(ret:%d)", ret);
        waitstat = 1;
    }
    if (waitstat == 1) {
        brestart = 1;
    }

    tavik_list_head *plist = nullptr;
    if (int ret = loadinfo(&plist); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "loadinfo() failed(ret:%d)", ret);
        return teardown.finish(kExitTable);
    }
    teardown.own(plist);
    if (int ret = xmllib_unload_config(); ret != 0) {
        TLOG_OP(LV_ERROR, "main", "xmllib_unload_config() failed(ret:%d)", ret);
    }
    teardown.config_loaded(false);
    init_bmc();
    teardown.reach(Stage::running);

    Worker check{"checkbmc", hbcheckbmc, checkbmcpth, {}};
    Worker watch{"watch", hbwatch, watchpth, {}};
    start_worker(check, teardown.table());
    await_check_thread();
    TLOG_OP(LV_ERROR, "main", "bwatchth: %d", bwatchth.load());
    if (bwatchth != 0) {
        start_worker(watch, teardown.table());
    }

    if (bwatchth != 0) {
        join_worker(watch);
    }
    join_worker(check);

    if (sem_wait_downnotify(0) != 0) {
        TLOG_OP(LV_ERROR, "main", "send downpacket : NO");
    } else {
        TLOG_OP(LV_ERROR, "main", "send downpacket : YES (ignore)");
    }
    return teardown.finish(ipc_namespace_lost() ? kExitIpcLost : 0);
}
