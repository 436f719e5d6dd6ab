// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's chief header: the heartbeat table records and their codes, typed access
// to the table's blocks, and the process-wide globals with the thread that owns each.
//
// The table is one zero-filled allocation: a 28-byte header, then per resource a block
// of (curnode + 1) slots of 352 bytes (the resource record, then one node entry per
// cluster node). Because the header is 28 bytes, the 8-byte tick fields of the records
// are not 8-byte aligned; they are held in TickField, which reads and writes them with
// memcpy so that access is sound on every target.
#pragma once

#include <pthread.h>
#include <zvripc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>

// Heartbeat states (RSCSV_*) and resource statuses (RSC_*) are the published values of
// zvripc.h; a node entry of an inactive resource has none assigned.
constexpr int RSCSV_NONE = 0;

// The resource type every IPC call of the daemon names.
inline constexpr char TAVIK_RSC_TYPE[] = "tavik";

// An unaligned 8-byte tick count (clock_t) inside a table record.
class TickField {
  public:
    TickField &operator=(clock_t value) noexcept {
        std::memcpy(bytes_, &value, sizeof value);
        return *this;
    }
    operator clock_t() const noexcept {
        clock_t value;
        std::memcpy(&value, bytes_, sizeof value);
        return value;
    }

  private:
    unsigned char bytes_[sizeof(clock_t)];
};
static_assert(sizeof(clock_t) == 8 && sizeof(TickField) == 8 && alignof(TickField) == 1);

struct _tavik_list_head {
    int32_t hbto;     // heartbeat time-out, ms, at least 1
    int32_t hbint;    // heartbeat interval, ms, at least 1
    int32_t mypri;    // own node's priority: the node entry with this priority is the own node
    int32_t maxnode;  // configured maximum of servers (logged only)
    int32_t maxrsc;   // configured maximum of heartbeat resources (logged only)
    int32_t curnode;  // node entries per resource block
    int32_t currsc;   // resource blocks
};
typedef struct _tavik_list_head tavik_list_head;

struct _tavik_list_rsc {
    char name[32];     // resource name, NUL-terminated
    int32_t priority;  // from the cluster's resource table; -1 when unknown
    int32_t devid;     // BMC device id; negative: the resource is inactive
    char myname[256];  // own node's name in this block (logged only)
    char myip[46];     // own node's BMC address text for this resource (logged only)
    int32_t stat;      // resource status (RSC_*); 0 until first computed
    int32_t reserved;
};
typedef struct _tavik_list_rsc tavik_list_rsc;

struct _tavik_list_node {
    char name[256];      // node name, NUL-terminated
    char ip[46];         // BMC IPv4 address text, mask suffix removed; empty when none
    uint32_t ip_int;     // the same address, network byte order; 0 when not valid
    int32_t priority;    // node id in every per-node IPC call; -1 when unknown
    int32_t stat;        // heartbeat state (RSCSV_*); 0 while none is assigned
    int32_t newstat;     // check thread's poll marker: 1 while a result is awaited
    TickField lastrecv;  // tick of the last heartbeat (start-up time in resume mode)
    TickField sclock;
    TickField maxclock;
    TickField reserved;
};
typedef struct _tavik_list_node tavik_list_node;

constexpr int TAVIK_HEAD_SIZE = 28;
constexpr int TAVIK_SLOT_SIZE = 352;

static_assert(sizeof(tavik_list_head) == TAVIK_HEAD_SIZE);
static_assert(sizeof(tavik_list_rsc) == TAVIK_SLOT_SIZE && sizeof(tavik_list_node) == TAVIK_SLOT_SIZE);
static_assert(alignof(tavik_list_rsc) <= 4 && alignof(tavik_list_node) <= 4,
              "records must fit at the 4-byte offsets the 28-byte header gives them");
static_assert(offsetof(tavik_list_head, hbto) == 0 && offsetof(tavik_list_head, hbint) == 4 &&
              offsetof(tavik_list_head, mypri) == 8 && offsetof(tavik_list_head, maxnode) == 12 &&
              offsetof(tavik_list_head, maxrsc) == 16 && offsetof(tavik_list_head, curnode) == 20 &&
              offsetof(tavik_list_head, currsc) == 24);
static_assert(offsetof(tavik_list_rsc, name) == 0 && offsetof(tavik_list_rsc, priority) == 32 &&
              offsetof(tavik_list_rsc, devid) == 36 && offsetof(tavik_list_rsc, myname) == 40 &&
              offsetof(tavik_list_rsc, myip) == 296 && offsetof(tavik_list_rsc, stat) == 344 &&
              offsetof(tavik_list_rsc, reserved) == 348);
static_assert(offsetof(tavik_list_node, name) == 0 && offsetof(tavik_list_node, ip) == 256 &&
              offsetof(tavik_list_node, ip_int) == 304 && offsetof(tavik_list_node, priority) == 308 &&
              offsetof(tavik_list_node, stat) == 312 && offsetof(tavik_list_node, newstat) == 316 &&
              offsetof(tavik_list_node, lastrecv) == 320 && offsetof(tavik_list_node, sclock) == 328 &&
              offsetof(tavik_list_node, maxclock) == 336 && offsetof(tavik_list_node, reserved) == 344);

// ---- typed access to the table's blocks ----

// Bytes of one resource block: the resource record and its node entries.
inline std::size_t rscblocksize(const tavik_list_head *plist) {
    return static_cast<std::size_t>(plist->curnode + 1) * TAVIK_SLOT_SIZE;
}

// Total bytes of a table of currsc resources by curnode nodes.
inline std::size_t tablesize(int currsc, int curnode) {
    return TAVIK_HEAD_SIZE + static_cast<std::size_t>(currsc) * TAVIK_SLOT_SIZE +
           static_cast<std::size_t>(currsc) * static_cast<std::size_t>(curnode) * TAVIK_SLOT_SIZE;
}

// Resource record i (0 <= i < currsc).
inline tavik_list_rsc *rscat(tavik_list_head *plist, int i) {
    auto *base = reinterpret_cast<unsigned char *>(plist) + TAVIK_HEAD_SIZE;
    return reinterpret_cast<tavik_list_rsc *>(base + static_cast<std::size_t>(i) * rscblocksize(plist));
}

// The node entries of a resource block, an array of curnode records.
inline tavik_list_node *nodesof(tavik_list_rsc *prsc) {
    return reinterpret_cast<tavik_list_node *>(prsc + 1);
}

// ---- process-wide globals ----
// Written by the main thread before the worker threads exist and read-only afterwards,
// unless noted.
extern long tckconf;       // clock ticks per second
extern int bmlock;         // 1 while memory is to be locked
extern int brestart;       // 1 when starting in resume mode
extern int bmcinit;        // BMC readiness: -2 not initialised, -1 start status refused, 0 usable
extern int libzvrbmcinit;  // 1 while the BMC library is initialised
// Non-zero: run the timeout watch thread. Read by the signal thread too, hence atomic.
extern std::atomic<int> bwatchth;
extern int thstacksz;  // worker stack size in bytes, 0 = system default
extern int warnrate;   // delay-warning rate, percent

// Set only by the signal thread, only from 0 to 1; read anywhere.
extern std::atomic<int> bsigrecv;     // stop requested (SIGUSR1)
extern std::atomic<int> bhbcheckbmc;  // heartbeat checking may start (SIGUSR2)

// Worker thread handles: 0 while the thread does not exist or has been joined. Written by
// the main thread, read by the signal thread.
extern std::atomic<pthread_t> checkbmcpth;
extern std::atomic<pthread_t> watchpth;

// The check thread's start-up handshake with the main thread. bmcready is the
// condition's flag, so that a signal given before the main thread waits is not lost.
extern pthread_mutex_t bmcmutex;
extern pthread_cond_t bmccond;
extern int bmcready;

// Held across each decide-and-publish step on the table and the resource-status
// recomputation that follows it, so the two worker threads never interleave inside one.
extern std::mutex tablemutex;

extern const char srcrev[];
extern const char srcdate[];

// Process entry on the main thread: the whole start-up, running and shutdown sequence.
// Returns the process's exit status.
int tavik_main();

// Attaches the semaphores, the cluster-manager and the node-manager shared memory, in
// this order: 0, or 1 to 3 for the step that failed (nothing then stays attached).
int attachipc();
// Detaches all three in reverse order; always 0.
int detachipc();
// Whether the namespace changed under the daemon (a segment truncated or rewritten),
// which stopped it.
bool ipc_namespace_lost();

// Reads nice value, scheduling policy and priority, the memory-lock wish and the watch
// thread switch from policy "tavik" and applies the first two. 0, or 6 when the policy
// cannot be loaded (nothing is then changed).
int setsched();
// Gives a worker's attribute object the configured stack size; always 0.
int setstacksz(pthread_attr_t *ppattr);

// Restores every global to its initial value (tests start each case from a fresh process state).
void tavik_reset_globals();
