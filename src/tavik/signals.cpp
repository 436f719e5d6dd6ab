// SPDX-License-Identifier: GPL-3.0-or-later
// Signal dispositions, the signal thread and the two receivers.
//
// The signal thread waits on a signalfd for SIGUSR1 and SIGUSR2 and on an eventfd that
// tells it to stop, so it sleeps without polling and ends promptly at shutdown. Both
// signals still get a caught disposition, as the daemon's parent and operators expect to
// see; the handler itself never runs, because no thread leaves them unblocked.
//
// Thread safety: the file-scope state is written by the main thread before the signal
// thread starts and after it has been joined; usr2_taken belongs to the signal thread.
#include "signals.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <future>

#include "diag/tavik_log.h"
#include "tavik.h"
#include "thctl.h"

namespace {

constexpr int kLastDispositionSignal = 30;
constexpr useconds_t kPollRetryUs = 100000;
// The signal thread only waits and runs the two receivers (a log line, a few flags), so
// it needs a fraction of the system's default 8 MiB, which a memory-locked daemon would
// otherwise keep resident for nothing.
constexpr size_t kSignalThreadStack = 256 * 1024;

// Signals that keep the default disposition; every other one of 1 to 30 is ignored.
bool keeps_default(int signo) {
    switch (signo) {
        case SIGILL:
        case SIGABRT:
        case SIGFPE:
        case SIGKILL:
        case SIGSEGV:
        case SIGTERM:
        case SIGCHLD:
        case SIGSTOP:
            return true;
        default:
            return false;
    }
}

// Persistent handler, the signal blocked while it runs, interrupted calls restarted.
void install(int signo, void (*handler)(int)) {
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    (void)sigaction(signo, &sa, nullptr);
}

// The disposition of SIGUSR1 and SIGUSR2 while the signal thread takes them.
void taken_by_signal_thread(int) {}

// Used only when the signal thread could not be started: the flags are lock-free
// atomics, so setting them is safe in an asynchronous handler; the cancellation requests
// and the log lines are not, and are left out. signal() is async-signal-safe.
void usr1_async(int) {
    bsigrecv = 1;
}
void usr2_async(int) {
    bhbcheckbmc = 1;
    (void)std::signal(SIGUSR2, SIG_IGN);
}

void set_dispositions() {
    for (int signo = 1; signo <= kLastDispositionSignal; ++signo) {
        // SIGUSR1 and SIGUSR2 go straight to their receivers: passing them through
        // "ignore" would discard one that is already pending. SIGKILL and SIGSTOP refuse
        // any change and keep their defaults.
        if (signo == SIGUSR1 || signo == SIGUSR2) {
            continue;
        }
        (void)std::signal(signo, keeps_default(signo) ? SIG_DFL : SIG_IGN);
    }
    install(SIGUSR1, taken_by_signal_thread);
    install(SIGUSR2, taken_by_signal_thread);
}

int sigfd = -1;
int stopfd = -1;
pthread_t sigthread;
pid_t sigtid = 0;
bool sigthread_running = false;
bool usr2_taken = false;  // touched only by the signal thread

std::mutex receiver_mutex;

void take_signal(int signo) {
    std::lock_guard hold(receiver_mutex);
    if (signo == SIGUSR1) {
        usr1_recv(signo);
    } else if (signo == SIGUSR2 && !usr2_taken) {
        usr2_taken = true;
        usr2_recv(signo);
    }
    // A later SIGUSR2 stays blocked, so the kernel still queues it for us even though
    // its disposition is now "ignore": it is read here and dropped.
}

void *signal_thread(void *arg) {
    (void)pthread_setname_np(pthread_self(), "tavik-signal");
    static_cast<std::promise<pid_t> *>(arg)->set_value(gettid());
    pollfd fds[2] = {{sigfd, POLLIN, 0}, {stopfd, POLLIN, 0}};
    bool poll_failed = false;
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Giving up would leave the daemon deaf to its stop signal; retry instead,
            // and say so once.
            if (!poll_failed) {
                TLOG(LV_ERROR, "poll(signalfd) failed(errno:%d)", errno);
                poll_failed = true;
            }
            usleep(kPollRetryUs);
            continue;
        }
        if (fds[1].revents != 0) {
            return nullptr;
        }
        signalfd_siginfo info;
        while (read(sigfd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            take_signal(static_cast<int>(info.ssi_signo));
        }
    }
}

void close_fds() {
    for (int *fd : {&sigfd, &stopfd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool start_signal_thread(const sigset_t &usr) {
    sigfd = signalfd(-1, &usr, SFD_NONBLOCK | SFD_CLOEXEC);
    stopfd = eventfd(0, EFD_CLOEXEC);
    if (sigfd < 0 || stopfd < 0) {
        return false;
    }
    std::promise<pid_t> ready;
    auto tid = ready.get_future();
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        return false;
    }
    // Should the size be refused, the thread still starts, with the default.
    (void)pthread_attr_setstacksize(&attr, kSignalThreadStack);
    const int created = pthread_create(&sigthread, &attr, signal_thread, &ready);
    pthread_attr_destroy(&attr);
    if (created != 0) {
        return false;
    }
    sigtid = tid.get();
    return true;
}

}  // namespace

int tavik_signals_start() {
    sigset_t usr;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    // Blocked before the dispositions change, so that no stop request is lost between.
    pthread_sigmask(SIG_BLOCK, &usr, nullptr);
    set_dispositions();
    usr2_taken = false;
    if (!start_signal_thread(usr)) {
        close_fds();
        install(SIGUSR1, usr1_async);
        install(SIGUSR2, usr2_async);
        pthread_sigmask(SIG_UNBLOCK, &usr, nullptr);
        return 1;
    }
    sigthread_running = true;
    return 0;
}

void tavik_signals_follow_sched() {
    if (!sigthread_running) {
        return;
    }
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, 0);
    if (nice != -1 || errno == 0) {
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(sigtid), nice);
    }
    sched_param param = {};
    if (int policy = sched_getscheduler(0); policy >= 0 && sched_getparam(0, &param) == 0) {
        (void)sched_setscheduler(sigtid, policy, &param);
    }
}

std::unique_lock<std::mutex> tavik_signals_hold() {
    return std::unique_lock(receiver_mutex);
}

void tavik_signals_stop() {
    if (sigthread_running) {
        uint64_t one = 1;
        (void)!write(stopfd, &one, sizeof one);
        pthread_join(sigthread, nullptr);
        sigthread_running = false;
        sigtid = 0;
    }
    close_fds();
}

void usr1_recv(int) {
    TLOG(LV_DETAIL, "get signal(USR1):stop threads");
    if (bwatchth != 0) {
        if (pthread_t th = watchpth.load(); th != 0) {
            if (int ret = thctl_cancel(th); ret != 0) {
                TLOG(LV_ERROR, "pthread_cancel(watchpth) failed(ret:%d,errno%d)", ret, errno);
            }
        }
    }
    if (pthread_t th = checkbmcpth.load(); th != 0) {
        if (int ret = thctl_cancel(th); ret != 0) {
            TLOG(LV_ERROR, "pthread_cancel(checkbmcpth) failed(ret:%d,errno%d)", ret, errno);
        }
    }
    bsigrecv = 1;
}

void usr2_recv(int) {
    bhbcheckbmc = 1;
    TLOG(LV_DETAIL, "get signal(USR2):start hbcheckbmc");
    (void)std::signal(SIGUSR2, SIG_IGN);
}
