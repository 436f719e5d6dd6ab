// SPDX-License-Identifier: GPL-3.0-or-later
#include "supervisor_record.h"

#include <time.h>
#include <unistd.h>

#include "ipc_cli.h"

namespace tavikctl {

namespace {

long long wall_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

}  // namespace

bool configuration_exit(int status) {
    return status == 4 || status == 9 || status == 10;
}

SupervisorRecord::SupervisorRecord(std::string ns) : ns_(std::move(ns)) {
    record_.pid = getpid();
    record_.phase = ZVRIPC_SUPERVISOR_STARTING;
    record_.last_exit = -1;
    record_.started_wall_ns = wall_now();
    store();
}

void SupervisorRecord::child_started(int pid) {
    if (record_.child_pid != 0) {
        ++record_.restarts;
    }
    record_.child_pid = pid;
    record_.phase = ZVRIPC_SUPERVISOR_STARTING;
    store();
}

void SupervisorRecord::child_ready() {
    record_.phase = ZVRIPC_SUPERVISOR_RUNNING;
    store();
}

void SupervisorRecord::child_ended(int status) {
    record_.phase = ZVRIPC_SUPERVISOR_BACKOFF;
    record_.last_exit = status;
    record_.last_exit_wall_ns = wall_now();
    store();
}

void SupervisorRecord::stopped() {
    record_.phase = ZVRIPC_SUPERVISOR_STOPPED;
    store();
}

void SupervisorRecord::store() {
    zvripc_handle *handle = nullptr;
    if (ipc_open(ns_.c_str(), &handle) == ZVRIPC_OK) {
        ipc_set_supervisor(handle, &record_);
        ipc_close(handle);
    }
}

}  // namespace tavikctl
