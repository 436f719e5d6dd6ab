// SPDX-License-Identifier: GPL-3.0-or-later
// The liveness block at the end of a node-manager segment: which daemon process is
// attached, when each of its threads last came through the library, what its
// supervisor knows about it, and the latest manual changes. Every field is a whole
// aligned value written with atomic stores and read with atomic loads, without the
// segment's lock: a stamp must never wait for a lock, and a stopped or dead daemon must
// never keep a reader from seeing that it is stopped or dead. A reader may therefore see
// one record half-updated; each field on its own is always whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zvripc_health.h"

namespace zvripc {

inline constexpr std::uint32_t kThreadSlots = ZVRIPC_THREAD_SLOTS;
inline constexpr std::uint32_t kAuditRecords = ZVRIPC_AUDIT_RECORDS;

struct DaemonRecord {
    std::int32_t pid;  // 0: no daemon ever attached
    std::int32_t detached;
    std::uint64_t start_ticks;  // the process's start time (field 22 of /proc/PID/stat)
    std::int64_t attach_wall_ns;
    std::int64_t attach_mono_ns;
    std::int64_t detach_wall_ns;  // 0 while attached
    std::int64_t detach_mono_ns;
};

// One thread of the daemon as its calls show it: the watch thread reads the ratio on
// every scan, the check thread reads published states on every receipt.
struct ThreadSlot {
    std::int32_t pid;  // 0: free
    std::int32_t tid;
    std::uint64_t ratio_reads;
    std::uint64_t state_reads;
    std::int64_t ratio_mono_ns;  // last ratio read
    std::int64_t ratio_wall_ns;
    std::int64_t state_mono_ns;  // last state read
    std::int64_t state_wall_ns;
};

struct SupervisorRecord {
    std::int32_t pid;  // 0: never supervised
    std::int32_t child_pid;
    std::uint64_t start_ticks;
    std::uint64_t child_start_ticks;
    std::int32_t phase;  // ZVRIPC_SUPERVISOR_*
    std::int32_t restarts;
    std::int32_t last_exit;  // exit status, 128 + signal, -1 when none yet
    std::int32_t reserved;
    std::int64_t started_wall_ns;
    std::int64_t last_exit_wall_ns;
    std::int64_t updated_wall_ns;
    std::int64_t updated_mono_ns;
};

struct AuditRecord {
    std::int64_t wall_ns;
    std::uint32_t uid;
    std::int32_t pid;
    char what[ZVRIPC_AUDIT_TEXT];
    char from[ZVRIPC_AUDIT_TEXT];
    char to[ZVRIPC_AUDIT_TEXT];
};

struct LivenessBlock {
    std::uint32_t block_size;  // sizeof(LivenessBlock)
    std::uint32_t thread_slots;
    DaemonRecord daemon;
    ThreadSlot threads[kThreadSlots];
    SupervisorRecord supervisor;
    std::uint64_t audit_count;  // record k (from 1) at audit[(k - 1) % kAuditRecords]
    AuditRecord audit[kAuditRecords];
};

static_assert(sizeof(DaemonRecord) % 8 == 0 && sizeof(ThreadSlot) % 8 == 0 &&
                  sizeof(SupervisorRecord) % 8 == 0 && sizeof(AuditRecord) % 8 == 0 &&
                  sizeof(LivenessBlock) % 8 == 0,
              "every record keeps its 64-bit fields aligned");
#if defined(__x86_64__)
// docs/ipc.md gives these offsets to readers in other languages.
static_assert(sizeof(DaemonRecord) == 48 && sizeof(ThreadSlot) == 56 && sizeof(SupervisorRecord) == 72 &&
              sizeof(AuditRecord) == 112 && offsetof(LivenessBlock, threads) == 56 &&
              offsetof(LivenessBlock, supervisor) == 504 && offsetof(LivenessBlock, audit) == 584 &&
              sizeof(LivenessBlock) == 1480);
#endif

}  // namespace zvripc
