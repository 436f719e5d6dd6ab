// SPDX-License-Identifier: GPL-3.0-or-later
// The SIGBUS handler of guarded mappings. It runs on the faulting thread and uses only
// atomics, plain stores and mmap/mremap, plain system calls. A fault elsewhere goes to the handler that was
// in place before, or, when that was the default or "ignore", to the default action: the
// instruction faults again and the process dies of SIGBUS as it would have without us.
#include "fault_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "lock_word.h"
#include "namespace.h"

namespace zvripc {

namespace {

enum : int { kIntact, kReplacing, kReplaced };

struct Slot {
    std::atomic<void *> start{nullptr};
    std::atomic<std::size_t> size{0};
    std::atomic<std::ptrdiff_t> lock_at{-1};  // the segment lock's offset, or -1
    std::atomic<int> state{kIntact};
};

// A daemon maps four objects, a handle four more; a metrics server a handful of handles.
constexpr int kSlots = 256;
Slot slots[kSlots];

Slot *slot_holding(const void *addr) {
    const auto at = reinterpret_cast<std::uintptr_t>(addr);
    for (Slot &slot : slots) {
        const auto from = reinterpret_cast<std::uintptr_t>(slot.start.load(std::memory_order_acquire));
        if (from != 0 && at >= from && at - from < slot.size.load(std::memory_order_acquire)) {
            return &slot;
        }
    }
    return nullptr;
}

// The private memory is made whole before it takes the place of the lost pages in one
// step: another thread inside an unlock may read the lock's links at any moment.
bool replace(Slot &slot, void *start, std::size_t size) {
    void *fresh = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (fresh == MAP_FAILED) {
        return false;
    }
    const std::ptrdiff_t lock_at = slot.lock_at.load(std::memory_order_acquire);
    if (lock_at >= 0) {
        defuse_lost_lock(reinterpret_cast<pthread_mutex_t *>(static_cast<char *>(fresh) + lock_at));
    }
    if (mremap(fresh, size, size, MREMAP_MAYMOVE | MREMAP_FIXED, start) == MAP_FAILED) {
        munmap(fresh, size);
        return false;
    }
    return true;
}

// The disposition before ours. Written under install_mutex while a handler may run on any
// thread, so it is published whole: filled in the copy not in use, then the pointer.
struct sigaction previous_copies[2]{};
std::atomic<const struct sigaction *> previous_disposition{&previous_copies[0]};
std::mutex install_mutex;

void remember_previous(const struct sigaction &current) {
    struct sigaction *spare = previous_disposition.load(std::memory_order_relaxed) == &previous_copies[0]
                                  ? &previous_copies[1]
                                  : &previous_copies[0];
    *spare = current;
    previous_disposition.store(spare, std::memory_order_release);
}

// As if this handler were not there. A SIGBUS another process sent (si_code <= 0) meets
// the previous disposition; a fault under "ignore" or the default ends the process as the
// kernel would: the default is put back and the instruction faults again on return.
void pass_on(int signo, siginfo_t *info, void *context) {
    const struct sigaction &previous = *previous_disposition.load(std::memory_order_acquire);
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
    if (info->si_code > 0) {  // raised by the kernel for a memory access, not sent
        if (Slot *slot = slot_holding(info->si_addr)) {
            // Marked before the pages change, so that whoever sees the new ones sees the mark.
            int state = kIntact;
            if (!slot->state.compare_exchange_strong(state, kReplacing)) {
                return;  // another thread replaces them: the access is tried again
            }
            if (replace(*slot, slot->start.load(std::memory_order_acquire),
                        slot->size.load(std::memory_order_acquire))) {
                slot->state.store(kReplaced, std::memory_order_release);
                return;
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
    remember_previous(current);
    sigaction(SIGBUS, &mine, nullptr);
}

}  // namespace

int guard_mapping(void *addr, std::size_t size) {
    install_handler();
    for (int i = 0; i < kSlots; ++i) {
        void *expected = nullptr;
        if (slots[i].start.compare_exchange_strong(expected, addr)) {
            slots[i].lock_at.store(-1, std::memory_order_relaxed);
            slots[i].state.store(kIntact, std::memory_order_relaxed);
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
    return slot >= 0 && slot < kSlots && slots[slot].state.load(std::memory_order_acquire) != kIntact;
}

void guard_lock(const void *lock) {
    if (Slot *slot = slot_holding(lock)) {
        const auto from = reinterpret_cast<std::uintptr_t>(slot->start.load(std::memory_order_acquire));
        slot->lock_at.store(static_cast<std::ptrdiff_t>(reinterpret_cast<std::uintptr_t>(lock) - from),
                            std::memory_order_release);
    }
}

bool guard_lost_at(const void *addr) {
    (void)__atomic_load_n(static_cast<const char *>(addr), __ATOMIC_RELAXED);  // others write it atomically
    const Slot *slot = slot_holding(addr);
    return slot != nullptr && slot->state.load(std::memory_order_acquire) != kIntact;
}

}  // namespace zvripc
