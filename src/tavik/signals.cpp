// SPDX-License-Identifier: GPL-3.0-or-later
// Signal dispositions, the signal thread and the two receivers.
//
// The signal thread waits on a signalfd for SIGUSR1 and SIGUSR2 and on an eventfd that
// tells it to stop, so it sleeps without polling and ends promptly at shutdown.
#include "signals.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "diag/tavik_log.h"
#include "tavik.h"
#include "thctl.h"

namespace {

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

void set_dispositions() {
    for (int signo = 1; signo <= 30; ++signo) {
        // SIGKILL and SIGSTOP refuse any change and keep their defaults.
        (void)std::signal(signo, keeps_default(signo) ? SIG_DFL : SIG_IGN);
    }
}

int sigfd = -1;
int stopfd = -1;
pthread_t sigthread;
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

void *signal_thread(void *) {
    pollfd fds[2] = {{sigfd, POLLIN, 0}, {stopfd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            TLOG(LV_ERROR, "poll(signalfd) failed(errno:%d)", errno);
            return nullptr;
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

}  // namespace

int tavik_signals_start() {
    set_dispositions();
    sigset_t usr;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr, nullptr);
    // The receivers replace the handlers; a blocked signal with a default disposition
    // of "terminate" is still only ever consumed through the signalfd.
    usr2_taken = false;
    sigfd = signalfd(-1, &usr, SFD_NONBLOCK | SFD_CLOEXEC);
    stopfd = eventfd(0, EFD_CLOEXEC);
    if (sigfd < 0 || stopfd < 0 || pthread_create(&sigthread, nullptr, signal_thread, nullptr) != 0) {
        return 1;
    }
    sigthread_running = true;
    return 0;
}

std::unique_lock<std::mutex> tavik_signals_hold() { return std::unique_lock(receiver_mutex); }

void tavik_signals_stop() {
    if (sigthread_running) {
        uint64_t one = 1;
        (void)!write(stopfd, &one, sizeof one);
        pthread_join(sigthread, nullptr);
        sigthread_running = false;
    }
    for (int *fd : {&sigfd, &stopfd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void usr1_recv(int) {
    TLOG(LV_DETAIL, "get signal(USR1):stop threads");
    if (bwatchth != 0) {
        if (pthread_t th = watchpth.load(); th != 0) {
            if (int ret = thctl_cancel(th); ret != 0) {
                TLOG(LV_ERROR, "pthread_cancel(watchpth) failed(ret:%d,errno%d)", ret, ret);
            }
        }
    }
    if (pthread_t th = checkbmcpth.load(); th != 0) {
        if (int ret = thctl_cancel(th); ret != 0) {
            TLOG(LV_ERROR, "pthread_cancel(checkbmcpth) failed(ret:%d,errno%d)", ret, ret);
        }
    }
    bsigrecv = 1;
}

void usr2_recv(int) {
    bhbcheckbmc = 1;
    TLOG(LV_DETAIL, "get signal(USR2):start hbcheckbmc");
    (void)std::signal(SIGUSR2, SIG_IGN);
}
