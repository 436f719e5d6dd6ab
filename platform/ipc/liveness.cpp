// SPDX-License-Identifier: GPL-3.0-or-later
// The liveness block: the daemon recorded at attach, its threads stamped by the calls
// they make anyway, the supervisor's record and the audit trail of manual changes.
// Stamps use atomic stores only and never take the segment's lock, so they cost the
// daemon two clock reads and a few stores per call and cannot block it.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "handle.h"
#include "namespace.h"
#include "zvripc_health.h"

namespace zvripc {

namespace {

template <class T>
void put(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

template <class T>
T get(const T &field) {
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_acquire);
}

// getpid() is a system call, which on a virtual machine costs microseconds: the stamps of
// the daemon's every cycle use a copy, forgotten in the child of a fork.
std::atomic<int> cached_pid{0};

void forget_pid() {
    cached_pid.store(0, std::memory_order_relaxed);
}

int self_pid() {
    int pid = cached_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static std::once_flag registered;
        std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forget_pid); });
        pid = getpid();
        cached_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

int current_tid() {
    thread_local int tid = static_cast<int>(syscall(SYS_gettid));
    return tid;
}

// Reads field 3 (state) and field 22 (start time) of /proc/PID/stat. The command name
// (field 2) may hold spaces and parentheses, so the fields are counted from its last ')'.
std::uint64_t start_ticks_of(int pid, char *state) {
    if (pid <= 0) {
        return 0;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *f = std::fopen(path, "re");
    if (f == nullptr) {
        return 0;
    }
    char buf[1024];
    std::size_t len = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[len] = '\0';
    const char *p = std::strrchr(buf, ')');
    if (p == nullptr || p[1] != ' ') {
        return 0;
    }
    p += 2;
    if (state != nullptr) {
        *state = *p;
    }
    for (int field = 3; field < 22 && p != nullptr; ++field) {
        p = std::strchr(p, ' ');
        p = p != nullptr ? p + 1 : nullptr;
    }
    return p != nullptr ? std::strtoull(p, nullptr, 10) : 0;
}

bool process_alive(int pid, std::uint64_t ticks) {
    char state = 0;
    return pid > 0 && start_ticks_of(pid, &state) == ticks && ticks != 0 && state != 'Z' && state != 'X';
}

void copy_text(char *field, const char *text) {
    std::memset(field, 0, ZVRIPC_AUDIT_TEXT);
    if (text != nullptr) {
        std::memcpy(field, text, std::min<std::size_t>(std::strlen(text), ZVRIPC_AUDIT_TEXT - 1));
    }
}

}  // namespace

void init_liveness_block(void *block) {
    auto *b = static_cast<LivenessBlock *>(block);
    b->block_size = sizeof(LivenessBlock);
    b->thread_slots = kThreadSlots;
}

int check_liveness_block(const std::string &object, const void *block) {
    const auto *b = static_cast<const LivenessBlock *>(block);
    if (b->block_size != sizeof(LivenessBlock) || b->thread_slots != kThreadSlots) {
        return fail(ZVRIPC_EBADSEG,
                    "segment %s: liveness block of %u bytes with %u thread slots, expected %zu and %u",
                    object.c_str(), b->block_size, b->thread_slots, sizeof(LivenessBlock), kThreadSlots);
    }
    return ZVRIPC_OK;
}

// A process attaching through zvripc.h is taken as the daemon unless a live daemon is
// recorded already: a cluster process attaching beside the daemon must not take its
// place. A child of the recorded supervisor always takes it (the supervisor starts
// daemons only).
void claim_daemon(LivenessBlock *b) {
    DaemonRecord &d = b->daemon;
    const int pid = getpid();
    const int recorded = get(d.pid);
    const std::uint64_t ticks = start_ticks_of(pid, nullptr);
    if (recorded != pid || get(d.start_ticks) != ticks) {
        const bool supervised = getppid() == get(b->supervisor.pid) && get(b->supervisor.pid) != 0;
        if (!supervised && process_alive(recorded, get(d.start_ticks))) {
            return;
        }
        for (ThreadSlot &slot : b->threads) {
            put(slot.pid, 0);
        }
        put(d.pid, 0);
        put(d.start_ticks, ticks);
    }
    const Stamp now = stamp_now();
    put(d.attach_wall_ns, now.wall);
    put(d.attach_mono_ns, now.mono);
    put(d.detach_wall_ns, std::int64_t{0});
    put(d.detach_mono_ns, std::int64_t{0});
    put(d.detached, 0);
    put(d.pid, pid);
}

void release_daemon(LivenessBlock *b) {
    DaemonRecord &d = b->daemon;
    if (get(d.pid) != getpid()) {
        return;
    }
    const Stamp now = stamp_now();
    put(d.detach_wall_ns, now.wall);
    put(d.detach_mono_ns, now.mono);
    put(d.detached, 1);
}

namespace {

// The calling thread's slot, taken when it has none; null for a process that is not the
// recorded daemon, or when every slot is held by another of its threads.
ThreadSlot *own_slot(LivenessBlock *b) {
    const int pid = self_pid();
    if (get(b->daemon.pid) != pid) {
        return nullptr;
    }
    const int tid = current_tid();
    for (ThreadSlot &slot : b->threads) {
        if (get(slot.pid) == pid && get(slot.tid) == tid) {
            return &slot;
        }
    }
    for (ThreadSlot &slot : b->threads) {
        int held = get(slot.pid);
        if (held == pid) {
            continue;
        }
        if (std::atomic_ref<std::int32_t>(slot.pid).compare_exchange_strong(held, pid)) {
            put(slot.tid, tid);
            put(slot.ratio_reads, std::uint64_t{0});
            put(slot.state_reads, std::uint64_t{0});
            put(slot.ratio_mono_ns, std::int64_t{0});
            put(slot.ratio_wall_ns, std::int64_t{0});
            put(slot.state_mono_ns, std::int64_t{0});
            put(slot.state_wall_ns, std::int64_t{0});
            return &slot;
        }
    }
    return nullptr;
}

}  // namespace

void stamp_ratio_read(LivenessBlock *b) {
    if (ThreadSlot *slot = own_slot(b)) {
        const Stamp now = stamp_now();
        put(slot->ratio_mono_ns, now.mono);
        put(slot->ratio_wall_ns, now.wall);
        std::atomic_ref<std::uint64_t>(slot->ratio_reads).fetch_add(1, std::memory_order_relaxed);
    }
}

void stamp_state_read(LivenessBlock *b) {
    if (ThreadSlot *slot = own_slot(b)) {
        const Stamp now = stamp_now();
        put(slot->state_mono_ns, now.mono);
        put(slot->state_wall_ns, now.wall);
        std::atomic_ref<std::uint64_t>(slot->state_reads).fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace zvripc

using namespace zvripc;

namespace {

void copy_out(const LivenessBlock &b, zvripc_liveness &out) {
    out.daemon_pid = get(b.daemon.pid);
    out.daemon_detached = get(b.daemon.detached);
    out.daemon_start_ticks = get(b.daemon.start_ticks);
    out.attach_wall_ns = get(b.daemon.attach_wall_ns);
    out.attach_mono_ns = get(b.daemon.attach_mono_ns);
    out.detach_wall_ns = get(b.daemon.detach_wall_ns);
    out.detach_mono_ns = get(b.daemon.detach_mono_ns);
    for (std::uint32_t i = 0; i < kThreadSlots; ++i) {
        const ThreadSlot &s = b.threads[i];
        zvripc_thread_stamp &t = out.threads[i];
        t.pid = get(s.pid);
        t.tid = get(s.tid);
        t.ratio_reads = get(s.ratio_reads);
        t.state_reads = get(s.state_reads);
        t.ratio_mono_ns = get(s.ratio_mono_ns);
        t.ratio_wall_ns = get(s.ratio_wall_ns);
        t.state_mono_ns = get(s.state_mono_ns);
        t.state_wall_ns = get(s.state_wall_ns);
    }
    const SupervisorRecord &s = b.supervisor;
    zvripc_supervisor &o = out.supervisor;
    o.pid = get(s.pid);
    o.child_pid = get(s.child_pid);
    o.start_ticks = get(s.start_ticks);
    o.child_start_ticks = get(s.child_start_ticks);
    o.phase = get(s.phase);
    o.restarts = get(s.restarts);
    o.last_exit = get(s.last_exit);
    o.started_wall_ns = get(s.started_wall_ns);
    o.last_exit_wall_ns = get(s.last_exit_wall_ns);
    o.updated_wall_ns = get(s.updated_wall_ns);
    o.updated_mono_ns = get(s.updated_mono_ns);
}

// ipc_liveness on an open handle.
int read_liveness(NmView &nm, zvripc_liveness &out) {
    LivenessBlock *b = nm.liveness();
    copy_out(*b, out);
    // The audit texts are not single values: they are read and written under the lock.
    int rc = nm.under_lock([&] {
        out.audit_count = b->audit_count;
        const std::uint64_t kept = std::min<std::uint64_t>(b->audit_count, kAuditRecords);
        out.audit_kept = static_cast<int>(kept);
        for (std::uint64_t i = 0; i < kept; ++i) {
            const AuditRecord &r = b->audit[(b->audit_count - 1 - i) % kAuditRecords];
            zvripc_audit &a = out.audit[i];
            a.wall_ns = r.wall_ns;
            a.uid = r.uid;
            a.pid = r.pid;
            std::memcpy(a.what, r.what, sizeof a.what);
            std::memcpy(a.from, r.from, sizeof a.from);
            std::memcpy(a.to, r.to, sizeof a.to);
        }
    });
    const Stamp now = stamp_now();
    out.taken_wall_ns = now.wall;
    out.taken_mono_ns = now.mono;
    return rc;
}

}  // namespace

extern "C" {

ZVRIPC_EXPORT int ipc_liveness(const zvripc_handle *handle, zvripc_liveness *out) noexcept {
    return guarded([&] {
        if (handle == nullptr || out == nullptr) {
            return fail(ZVRIPC_EARG, "null handle or result pointer");
        }
        *out = zvripc_liveness{};
        return on_handle(const_cast<zvripc_handle *>(handle), false,
                         [&](zvripc_handle &h) { return read_liveness(h.nm, *out); });
    });
}

ZVRIPC_EXPORT int ipc_set_supervisor(zvripc_handle *handle, const zvripc_supervisor *record) noexcept {
    return guarded([&] {
        if (handle == nullptr || record == nullptr) {
            return fail(ZVRIPC_EARG, "null handle or record pointer");
        }
        return on_handle(handle, true, [&](zvripc_handle &h) {
            SupervisorRecord &s = h.nm.liveness()->supervisor;
            const Stamp now = stamp_now();
            put(s.child_pid, record->child_pid);
            put(s.child_start_ticks, static_cast<std::uint64_t>(start_ticks_of(record->child_pid, nullptr)));
            put(s.phase, record->phase);
            put(s.restarts, record->restarts);
            put(s.last_exit, record->last_exit);
            put(s.started_wall_ns, static_cast<std::int64_t>(record->started_wall_ns));
            put(s.last_exit_wall_ns, static_cast<std::int64_t>(record->last_exit_wall_ns));
            put(s.updated_wall_ns, now.wall);
            put(s.updated_mono_ns, now.mono);
            put(s.start_ticks, static_cast<std::uint64_t>(start_ticks_of(record->pid, nullptr)));
            put(s.pid, record->pid);
            return ZVRIPC_OK;
        });
    });
}

ZVRIPC_EXPORT int ipc_audit(zvripc_handle *handle, const char *what, const char *from,
                            const char *to) noexcept {
    return guarded([&] {
        if (handle == nullptr || what == nullptr) {
            return fail(ZVRIPC_EARG, "null handle or change");
        }
        return on_handle(handle, true, [&](zvripc_handle &h) {
            LivenessBlock *b = h.nm.liveness();
            const Stamp now = stamp_now();
            return h.nm.under_lock([&] {
                AuditRecord &r = b->audit[b->audit_count % kAuditRecords];
                r.wall_ns = now.wall;
                r.uid = static_cast<std::uint32_t>(getuid());
                r.pid = getpid();
                copy_text(r.what, what);
                copy_text(r.from, from);
                copy_text(r.to, to);
                ++b->audit_count;
            });
        });
    });
}

ZVRIPC_EXPORT unsigned long long ipc_process_start_ticks(int pid, char *state) noexcept {
    return start_ticks_of(pid, state);
}

}  // extern "C"
