// SPDX-License-Identifier: GPL-3.0-or-later
// The byte layout of the two shared-memory segments of an IPC namespace. Both start with
// the same prefix (magic, version, header size, total size) so that an attacher can
// refuse a segment of another kind, another build or another size before it reads
// anything else. docs/ipc.md describes the same layout for programs in other languages.
// Plain records; the lock inside each segment guards its mutable fields (see there).
//
// Version 2 added the change history of the node-manager segment (the header's history
// fields and the HistoryRecord blocks after the states); version 3 records in the prefix
// the group the namespace was created for, and
// the liveness block at the end of the node-manager segment. Older segments are refused.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "liveness_layout.h"
#include "zvripc_admin.h"

namespace zvripc {

inline constexpr std::uint32_t kNmMagic = 0x4d4e5654;  // "TVNM" in memory order
inline constexpr std::uint32_t kCmMagic = 0x4d435654;  // "TVCM"
inline constexpr std::uint32_t kVersion = 3;
// writer_gid of a namespace that no group may write.
inline constexpr std::uint32_t kNoGroup = 0xffffffff;
// Change times kept per history record, for questions about a recent window.
inline constexpr std::uint32_t kHistoryRecent = ZVRIPC_HISTORY_RECENT;

struct Prefix {
    std::uint32_t magic;  // written last at creation (release), so a half-made
                          // segment reads as foreign, never as valid
    std::uint32_t version;
    std::uint32_t header_size;  // sizeof the segment's header record
    std::uint32_t writer_gid;   // the group given at creation, or kNoGroup; written once
    std::uint64_t total_size;   // the whole segment, equal to the object's size
};

// Cluster-manager segment: what the cluster side tells the daemon.
struct CmSegment {
    Prefix prefix;
    pthread_mutex_t lock;      // process-shared, robust
    std::uint64_t recoveries;  // locks taken over from a dead holder (under lock)
    std::int32_t action;       // under lock
    std::int32_t ratio;        // under lock
    std::int32_t period;       // under lock
    std::int32_t reserved;
    char acttype[ZVRIPC_ACTTYPE_MAX + 1];  // under lock, always NUL-terminated
};

// Node-manager segment: header, then node_count NodeRecord, rsc_count RscRecord,
// rsc_count * node_count int32 states (row per resource, in node order), padding to 8
// bytes, rsc_count * node_count HistoryRecord of the states (same order) and rsc_count
// HistoryRecord of the statuses, then the LivenessBlock.
struct NmHeader {
    Prefix prefix;
    std::uint32_t node_count;
    std::uint32_t rsc_count;
    std::uint32_t node_record_size;
    std::uint32_t rsc_record_size;
    pthread_mutex_t lock;              // process-shared, robust
    alignas(8) std::uint64_t changes;  // change counter: atomic, read without the lock
    std::uint64_t recoveries;          // under lock
    std::int32_t waitstat;             // under lock
    std::int32_t reserved;
    std::uint32_t history_record_size;  // sizeof(HistoryRecord)
    std::uint32_t history_recent;       // kHistoryRecent
    std::int64_t created_wall_ns;       // CLOCK_REALTIME at creation, written once
    std::int64_t created_mono_ns;       // CLOCK_MONOTONIC at creation, written once
};

// Names and priorities are written once at creation and never change, so they are read
// without the lock; status and states change under it.
struct NodeRecord {
    char name[ZVRIPC_NODE_NAME_MAX + 1];
    std::int32_t priority;
    std::int32_t reserved;
};

struct RscRecord {
    char type[ZVRIPC_RSC_TYPE_MAX + 1];
    char name[ZVRIPC_RSC_NAME_MAX + 1];
    std::int32_t priority;
    std::int32_t status;  // under lock
};

// What happened to one state or status since the namespace was created; changed only
// by a write that changes the value, under the segment's lock. Times are 0 until the
// first change. Change k (counted from 1) keeps its monotonic time in
// recent_mono_ns[(k - 1) % kHistoryRecent], so the ring needs no index of its own.
struct HistoryRecord {
    std::int64_t last_wall_ns;  // CLOCK_REALTIME of the last change
    std::int64_t last_mono_ns;  // CLOCK_MONOTONIC of the last change
    std::uint64_t count;        // changes since creation
    std::int64_t recent_mono_ns[kHistoryRecent];
};

static_assert(sizeof(NmHeader) % 8 == 0 && sizeof(NodeRecord) % 8 == 0 && sizeof(RscRecord) % 8 == 0 &&
                  sizeof(HistoryRecord) % 8 == 0,
              "records keep the next block 8-byte aligned");
static_assert(offsetof(NmHeader, changes) % 8 == 0);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free,
              "the change counter is shared between processes, so it must be lock-free");

#if defined(__x86_64__) && defined(__GLIBC__)
// docs/ipc.md gives these offsets to readers in other languages.
static_assert(sizeof(CmSegment) == 120 && offsetof(CmSegment, ratio) == 76 &&
              offsetof(CmSegment, acttype) == 88);
static_assert(sizeof(NmHeader) == 128 && offsetof(NmHeader, changes) == 80 &&
              offsetof(NmHeader, waitstat) == 96 && offsetof(NmHeader, history_record_size) == 104 &&
              offsetof(NmHeader, created_wall_ns) == 112);
static_assert(sizeof(HistoryRecord) == 152 && offsetof(HistoryRecord, count) == 16 &&
              offsetof(HistoryRecord, recent_mono_ns) == 24);
static_assert(sizeof(NodeRecord) == 264 && sizeof(RscRecord) == 72 && offsetof(RscRecord, status) == 68);
#endif

// Offsets of the blocks of a node-manager segment with these counts.
constexpr std::uint64_t nm_nodes_offset() {
    return sizeof(NmHeader);
}
constexpr std::uint64_t nm_rscs_offset(std::uint64_t nodes) {
    return nm_nodes_offset() + nodes * sizeof(NodeRecord);
}
constexpr std::uint64_t nm_states_offset(std::uint64_t nodes, std::uint64_t rscs) {
    return nm_rscs_offset(nodes) + rscs * sizeof(RscRecord);
}
constexpr std::uint64_t nm_history_offset(std::uint64_t nodes, std::uint64_t rscs) {
    return (nm_states_offset(nodes, rscs) + rscs * nodes * sizeof(std::int32_t) + 7) & ~std::uint64_t{7};
}
// The statuses' history follows the states' history.
constexpr std::uint64_t nm_status_history_offset(std::uint64_t nodes, std::uint64_t rscs) {
    return nm_history_offset(nodes, rscs) + rscs * nodes * sizeof(HistoryRecord);
}
// The liveness block follows the statuses' history.
constexpr std::uint64_t nm_liveness_offset(std::uint64_t nodes, std::uint64_t rscs) {
    return nm_status_history_offset(nodes, rscs) + rscs * sizeof(HistoryRecord);
}
constexpr std::uint64_t nm_total_size(std::uint64_t nodes, std::uint64_t rscs) {
    return nm_liveness_offset(nodes, rscs) + sizeof(LivenessBlock);
}

}  // namespace zvripc
