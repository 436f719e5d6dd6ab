// SPDX-License-Identifier: GPL-3.0-or-later
// Cooperative cancellation and the sleep clock.
//
// One mutex and condition variable serve every sleeper: the daemon has two workers,
// and a single condition lets a cancel request and a virtual-clock step wake exactly
// the sleepers concerned without a per-thread registry of condition variables.
//
// Thread safety: everything shared is guarded by clock_mutex, except a worker's state
// and clean-up list, which only the worker itself touches.
#include "thctl.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct Cleanup {
    void (*routine)(void *);
    void *arg;
};

struct Control {
    bool requested = false;           // guarded by clock_mutex
    int state = THCTL_CANCEL_ENABLE;  // touched by the owning worker only
    std::vector<Cleanup> cleanups;    // owning worker only
    void *(*entry)(void *) = nullptr;
    void *arg = nullptr;
};

std::mutex clock_mutex;
std::condition_variable clock_cond;
std::map<pthread_t, std::shared_ptr<Control>> workers;  // guarded by clock_mutex
bool virtual_on = false;                                // guarded by clock_mutex
uint64_t virtual_us = 0;                                // guarded by clock_mutex
bool virtual_auto = false;                              // guarded by clock_mutex
int sleepers = 0;                                       // guarded by clock_mutex
int sleeper_watchers = 0;                  // threads in thctl_wait_sleepers; guarded by clock_mutex
std::function<void(uint64_t)> sleep_hook;  // guarded by clock_mutex
// Bumped whenever the clock is switched: a deadline taken on one clock means nothing on
// the other, so sleepers started before the switch end their sleep.
uint64_t clock_epoch = 0;  // guarded by clock_mutex

thread_local Control *self = nullptr;

constexpr uint64_t kVirtualStartUs = 1000ULL * 1000 * 1000;  // 1000 s: ticks are never 0
// Longest single wait of a real-time sleep: condition_variable::wait_for overflows its
// deadline arithmetic for durations near the limits of its clock.
constexpr uint64_t kMaxSliceUs = 3600ULL * 1000 * 1000;

uint64_t real_now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

uint64_t now_locked() {
    return virtual_on ? virtual_us : real_now_us();
}

bool cancel_due_locked() {
    return self != nullptr && self->state == THCTL_CANCEL_ENABLE && self->requested;
}

[[noreturn]] void act_on_cancel() {
    // From here on the worker is leaving: a clean-up routine that sleeps or tests must
    // not start the exit a second time.
    self->state = THCTL_CANCEL_DISABLE;
    // Clean-ups run newest first, each once: pop before running, as pthreads does.
    while (!self->cleanups.empty()) {
        Cleanup c = self->cleanups.back();
        self->cleanups.pop_back();
        c.routine(c.arg);
    }
    pthread_exit(PTHREAD_CANCELED);
}

void *trampoline(void *raw) {
    auto *control = static_cast<Control *>(raw);
    self = control;
    return control->entry(control->arg);
}

}  // namespace

int thctl_create(pthread_t *th, const pthread_attr_t *attr, void *(*entry)(void *), void *arg) {
    auto control = std::make_shared<Control>();
    control->entry = entry;
    control->arg = arg;
    // The control is registered under the lock before any other thread can learn the
    // handle, so a cancel request made as soon as the handle is published finds it.
    std::lock_guard lock(clock_mutex);
    int ret = pthread_create(th, attr, trampoline, control.get());
    if (ret == 0) {
        workers[*th] = std::move(control);
    }
    return ret;
}

int thctl_join(pthread_t th, void **result) {
    {
        // Joining a thread twice, or one that is not ours, is undefined for pthreads.
        std::lock_guard lock(clock_mutex);
        if (workers.find(th) == workers.end()) {
            return ESRCH;
        }
    }
    int ret = pthread_join(th, result);
    if (ret == 0) {
        std::lock_guard lock(clock_mutex);
        workers.erase(th);
    }
    return ret;
}

int thctl_cancel(pthread_t th) {
    std::lock_guard lock(clock_mutex);
    auto it = workers.find(th);
    if (it == workers.end()) {
        errno = ESRCH;
        return ESRCH;
    }
    it->second->requested = true;
    clock_cond.notify_all();
    return 0;
}

int thctl_setcancelstate(int state, int *oldstate) {
    if (self == nullptr || (state != THCTL_CANCEL_ENABLE && state != THCTL_CANCEL_DISABLE)) {
        return EINVAL;
    }
    if (oldstate != nullptr) {
        *oldstate = self->state;
    }
    self->state = state;
    return 0;
}

void thctl_testcancel() {
    bool due;
    {
        std::lock_guard lock(clock_mutex);
        due = cancel_due_locked();
    }
    if (due) {
        act_on_cancel();
    }
}

void thctl_cleanup_push(void (*routine)(void *), void *arg) {
    if (self != nullptr) {
        self->cleanups.push_back({routine, arg});
    }
}

void thctl_cleanup_pop(int execute) {
    if (self == nullptr || self->cleanups.empty()) {
        return;
    }
    Cleanup c = self->cleanups.back();
    self->cleanups.pop_back();
    if (execute != 0) {
        c.routine(c.arg);
    }
}

void thctl_sleep_us(uint64_t usec) {
    std::function<void(uint64_t)> hook;
    {
        std::lock_guard lock(clock_mutex);
        hook = sleep_hook;
    }
    if (hook) {
        hook(usec);
    }
    bool due;
    {
        std::unique_lock lock(clock_mutex);
        if (virtual_on && virtual_auto && !cancel_due_locked()) {
            virtual_us += usec;
            clock_cond.notify_all();
        }
        const uint64_t start = now_locked();
        const uint64_t length = virtual_on && virtual_auto ? 0 : usec;
        const uint64_t deadline = length > std::numeric_limits<uint64_t>::max() - start
                                      ? std::numeric_limits<uint64_t>::max()
                                      : start + length;
        const uint64_t epoch = clock_epoch;
        ++sleepers;
        // Only a thctl_wait_sleepers caller needs to hear of a new sleeper; waking the other
        // worker's sleep for nothing would cost it a wake-up every time this one sleeps.
        if (sleeper_watchers > 0) {
            clock_cond.notify_all();
        }
        for (uint64_t now = start; !cancel_due_locked() && epoch == clock_epoch && now < deadline;
             now = now_locked()) {
            if (virtual_on) {
                clock_cond.wait(lock);
            } else {
                uint64_t slice = deadline - now < kMaxSliceUs ? deadline - now : kMaxSliceUs;
                clock_cond.wait_for(lock, std::chrono::microseconds(slice));
            }
        }
        --sleepers;
        due = cancel_due_locked();
    }
    if (due) {
        act_on_cancel();
    }
}

uint64_t thctl_now_us() {
    std::lock_guard lock(clock_mutex);
    return now_locked();
}

void thctl_virtual_clock(bool on) {
    std::lock_guard lock(clock_mutex);
    virtual_on = on;
    virtual_auto = false;
    virtual_us = kVirtualStartUs;
    ++clock_epoch;
    clock_cond.notify_all();
}

void thctl_virtual_clock_auto(bool on) {
    std::lock_guard lock(clock_mutex);
    virtual_auto = on;
    clock_cond.notify_all();
}

void thctl_set_sleep_hook(std::function<void(uint64_t usec)> hook) {
    std::lock_guard lock(clock_mutex);
    sleep_hook = std::move(hook);
}

void thctl_advance_us(uint64_t usec) {
    std::lock_guard lock(clock_mutex);
    virtual_us += usec;
    clock_cond.notify_all();
}

bool thctl_wait_sleepers(int n, int timeout_ms) {
    std::unique_lock lock(clock_mutex);
    ++sleeper_watchers;
    const bool reached =
        clock_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), [n] { return sleepers >= n; });
    --sleeper_watchers;
    return reached;
}
