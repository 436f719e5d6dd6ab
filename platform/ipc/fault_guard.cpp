// SPDX-License-Identifier: GPL-3.0-or-later
// The SIGBUS handler of guarded mappings. It runs on the faulting thread and uses only
// atomics and mmap, a plain system call. A fault elsewhere goes to the handler that was
// in place before, or, when that was the default or "ignore", to the default action: the
// instruction faults again and the process dies of SIGBUS as it would have without us.
#include "fault_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "namespace.h"

namespace zvripc {

namespace {

struct Slot {
    std::atomic<void *> start{nullptr};
    std::atomic<std::size_t> size{0};
    std::atomic<bool> lost{false};
};

// A daemon maps four objects, a handle four more; a metrics server a handful of handles.
constexpr int kSlots = 256;
Slot slots[kSlots];

struct sigaction previous {};
std::mutex install_mutex;

// As if this handler were not there. A SIGBUS another process sent (si_code <= 0) meets
// the previous disposition; a fault under "ignore" or the default ends the process as the
// kernel would: the default is put back and the instruction faults again on return.
void pass_on(int signo, siginfo_t *info, void *context) {
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signo, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
        previous.sa_handler(signo);
        return;
    }
    const bool sent = info->si_code <= 0;
    if (sent && previous.sa_handler == SIG_IGN) {
        return;
    }
    (void)signal(SIGBUS, SIG_DFL);
    if (sent) {
        (void)raise(SIGBUS);
    }
}

void on_sigbus(int signo, siginfo_t *info, void *context) {
    const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (info->si_code > 0) {  // raised by the kernel for a memory access, not sent
        for (Slot &slot : slots) {
            void *start = slot.start.load(std::memory_order_acquire);
            const std::size_t size = slot.size.load(std::memory_order_acquire);
            const auto from = reinterpret_cast<std::uintptr_t>(start);
            if (start != nullptr && addr >= from && addr - from < size) {
                void *fresh =
                    mmap(start, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
                if (fresh != MAP_FAILED) {
                    slot.lost.store(true, std::memory_order_release);
                    return;
                }
                break;
            }
        }
    }
    pass_on(signo, info, context);
}

// Again at every new guard: a program may have set its own dispositions after the first
// (the daemon sets every signal's when it starts).
void install_handler() {
    std::lock_guard hold(install_mutex);
    struct sigaction current {};
    sigaction(SIGBUS, nullptr, &current);
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_sigbus) {
        return;
    }
    struct sigaction mine {};
    mine.sa_sigaction = on_sigbus;
    sigemptyset(&mine.sa_mask);
    mine.sa_flags = SA_SIGINFO | SA_NODEFER;
    previous = current;
    sigaction(SIGBUS, &mine, nullptr);
}

}  // namespace

int guard_mapping(void *addr, std::size_t size) {
    install_handler();
    for (int i = 0; i < kSlots; ++i) {
        void *expected = nullptr;
        if (slots[i].start.compare_exchange_strong(expected, addr)) {
            slots[i].lost.store(false, std::memory_order_relaxed);
            slots[i].size.store(size, std::memory_order_release);
            return i;
        }
    }
    fail(ZVRIPC_ESYS, "more than %d shared objects mapped at once", kSlots);
    return -1;
}

void release_guard(int slot) {
    if (slot >= 0 && slot < kSlots) {
        slots[slot].size.store(0, std::memory_order_release);
        slots[slot].start.store(nullptr, std::memory_order_release);
    }
}

bool guard_lost(int slot) {
    return slot >= 0 && slot < kSlots && slots[slot].lost.load(std::memory_order_acquire);
}

}  // namespace zvripc
