// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of an IPC namespace as this process sees them: the pair of named
// semaphores, a mapped cluster-manager segment and a mapped node-manager segment, each
// opened and checked on its own (the daemon attaches them one by one), plus creation and
// removal of a whole namespace. Used by the C entry points of zvripc.h and
// zvripc_admin.h, which hold the process-local locks; the objects here are not
// synchronised themselves, apart from the lock inside each segment, which their
// accessors take.
#pragma once

#include <semaphore.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "layout.h"

// The library is built with hidden visibility; only the C entry points are exported.
#define ZVRIPC_EXPORT __attribute__((visibility("default")))

namespace zvripc {

// Records the failure text for ipc_last_error() and returns code.
int fail(int code, const char *format, ...) __attribute__((format(printf, 2, 3)));
void clear_error();
const char *last_error();
// strerror's text without its shared buffer: the library is called from several threads.
std::string errno_text(int err);

// Runs one C entry point's body, turning an escaping exception into ZVRIPC_EINTERNAL:
// nothing may unwind into a C caller.
template <class Body>
int guarded(Body &&body) noexcept {
    try {
        clear_error();
        return body();
    } catch (...) {
        return fail(ZVRIPC_EINTERNAL, "unexpected failure (out of memory?)");
    }
}

// The four object names of a namespace.
struct ObjectNames {
    std::string nm, cm, statchange, downnotify;
};

// The two clocks a change is recorded with, in nanoseconds.
struct Stamp {
    std::int64_t wall = 0;  // CLOCK_REALTIME
    std::int64_t mono = 0;  // CLOCK_MONOTONIC
};
Stamp stamp_now();

// Checks a namespace name; null means TAVIK_IPC_NAME or the default.
int resolve_name(const char *name, std::string &out);
ObjectNames object_names(const std::string &ns);

// Opens a namespace's object from its file (`kind` "segment" or "semaphore") without
// following a link or waiting on a FIFO; the descriptor, or minus a ZVRIPC_E* code.
int open_object(const char *kind, const std::string &object, const std::string &file, int access);

// A shared mapping of one POSIX shared-memory object, remembering which object it was.
class Mapping {
  public:
    Mapping() = default;
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping() { reset(); }

    // Opens, checks the size against min_size and maps the whole object, read-write or
    // read-only.
    int open(const std::string &object, std::uint64_t min_size, bool writable = true);
    void reset();
    bool mapped() const { return addr_ != nullptr; }
    void *addr() const { return addr_; }
    std::uint64_t size() const { return size_; }
    unsigned mode() const { return mode_; }
    const struct stat &stat() const { return st_; }
    // Whether the name still refers to the object mapped here.
    bool current() const;
    // ZVRIPC_OK, or ZVRIPC_EBADSEG once the object shrank under the mapping.
    int intact() const;
    bool writable() const { return writable_; }
    const std::string &object() const { return object_; }
    // For a reader that may not take the segment's lock (a read-only mapping): copies
    // the whole object until two copies in a row agree and the lock was free in both,
    // so that no half-done update is taken.
    int stable_copy(std::vector<char> &out, const pthread_mutex_t *lock) const;
    // For a reader of a segment of an older layout: from now on this maps a private,
    // read-only copy of `image` (the segment brought to the current layout) instead of
    // the object, which it still names for current().
    int adopt(const std::vector<char> &image);

  private:
    std::string object_;
    int slot_ = -1;  // fault_guard.h
    bool writable_ = true;
    void *addr_ = nullptr;
    std::uint64_t size_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    unsigned mode_ = 0;
    struct stat st_ {};
};

// Holds a segment's robust lock; recovers it when its last holder died.
class SegmentLock {
  public:
    SegmentLock(pthread_mutex_t *mutex, std::uint64_t *recoveries);
    SegmentLock(const SegmentLock &) = delete;
    SegmentLock &operator=(const SegmentLock &) = delete;
    ~SegmentLock();
    int result() const { return result_; }

  private:
    pthread_mutex_t *mutex_;
    const void *front_;  // lock_word.h: robust_front() before the lock was taken
    int result_;
};

class SemPair {
  public:
    SemPair() = default;
    SemPair(const SemPair &) = delete;
    SemPair &operator=(const SemPair &) = delete;
    ~SemPair() { reset(); }
    int open(const std::string &ns);
    void reset();
    bool attached() const { return statchange_ != nullptr; }
    int post_statchange();
    int post_downnotify();
    int try_downnotify();
    // ZVRIPC_OK, or ZVRIPC_EBADSEG once a semaphore's file shrank under its mapping.
    int intact() const;

  private:
    std::string ns_;
    sem_t *statchange_ = nullptr;
    sem_t *downnotify_ = nullptr;
    int statchange_slot_ = -1;
    int downnotify_slot_ = -1;
};

class CmView {
  public:
    int open(const std::string &ns, bool writable = true);
    void reset() {
        map_.reset();
        seg_ = nullptr;
        layout_ = kVersion;
    }
    bool attached() const { return seg_ != nullptr; }
    bool current() const { return map_.current(); }
    // The layout the segment was found in (older only for a read-only view).
    std::uint32_t layout() const { return layout_; }
    // ZVRIPC_OK, or ZVRIPC_EBADSEG once the segment shrank under this process.
    int intact() const;
    int get_action(int *action, char *acttype);
    int get_ratio(int *ratio, int *period);
    int set_ratio(int ratio, int period);
    int set_action(int action, const char *acttype);
    // Copies everything under the lock.
    int read_all(int *action, char *acttype, int *ratio, int *period, std::uint64_t *recoveries);

  private:
    Mapping map_;
    CmSegment *seg_ = nullptr;
    std::uint32_t layout_ = kVersion;
};

// A node or resource as attach found it: names and priorities never change after
// creation, so they are copied once and never read from the segment again, whatever a
// writer does to it later.
struct NodeEntry {
    std::string name;
    int priority = 0;
};
struct RscEntry {
    std::string type, name;
    int priority = 0;
};

class NmView {
  public:
    int open(const std::string &ns, bool writable = true);
    void reset();
    bool attached() const { return hdr_ != nullptr; }
    bool current() const { return map_.current(); }
    int intact() const;
    bool writable() const { return map_.writable(); }
    unsigned mode() const { return map_.mode(); }
    // The layout the segment was found in (older only for a read-only view).
    std::uint32_t layout() const { return layout_; }
    std::uint32_t node_count() const { return nodes_count_; }
    std::uint32_t rsc_count() const { return rscs_count_; }
    const NodeEntry &node(std::uint32_t i) const { return node_entries_[i]; }
    const RscEntry &rsc(std::uint32_t i) const { return rsc_entries_[i]; }

    int enum_rsc(const char *type, char *buf, int *size) const;
    int enum_node(char *buf, int *size) const;
    int node_priority(const char *node, int *pri) const;
    int rsc_priority(const char *type, const char *rsc, int *pri) const;
    int get_state(const char *type, const char *rsc, int nodeid, int *stat);
    int set_state(const char *type, const char *rsc, int nodeid, int stat);
    int set_status(const char *type, const char *rsc, int stat);
    int get_waitstat(int *waitstat);
    int set_waitstat(int waitstat);
    std::uint64_t changes() const;
    std::uint64_t advance_changes();
    // Copies statuses (rsc_count), states (rsc_count * node_count), their histories
    // (as many records each) and the header's values under the lock.
    int read_all(int *statuses, int *states, HistoryRecord *status_history, HistoryRecord *state_history,
                 int *waitstat, std::uint64_t *changes, std::uint64_t *recoveries);
    // A copy of the whole mapped segment, for a caller that holds the lock (under_lock).
    std::vector<char> image() const {
        const auto *base = static_cast<const char *>(map_.addr());
        return {base, base + map_.size()};
    }
    const struct stat &stat() const { return map_.stat(); }
    // When the namespace was created; written once before the segment was published.
    Stamp created() const { return {hdr_->created_wall_ns, hdr_->created_mono_ns}; }
    // The liveness block (liveness.cpp); its fields are atomics, read and written without the lock.
    LivenessBlock *liveness() const { return liveness_; }
    // Runs body() under the segment's lock; on a read-only mapping, which cannot take
    // it, without (only readers run there, and what they read is informational).
    template <class Body>
    int under_lock(Body &&body) {
        if (!writable()) {
            body();
            return ZVRIPC_OK;
        }
        SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
        if (lock.result() != ZVRIPC_OK) {
            return lock.result();
        }
        body();
        return ZVRIPC_OK;
    }

  private:
    int find_rsc(const char *type, const char *rsc, std::uint32_t *index) const;
    int find_node(int nodeid, std::uint32_t *index) const;

    Mapping map_;
    std::uint32_t layout_ = kVersion;
    NmHeader *hdr_ = nullptr;
    NodeRecord *nodes_ = nullptr;
    RscRecord *rscs_ = nullptr;
    std::int32_t *states_ = nullptr;
    HistoryRecord *state_history_ = nullptr;   // rscs_count_ * nodes_count_
    HistoryRecord *status_history_ = nullptr;  // rscs_count_
    LivenessBlock *liveness_ = nullptr;
    // Copied at attach, so that a later change of the counts in the segment can never
    // make this process reach past its mapping.
    std::uint32_t nodes_count_ = 0;
    std::uint32_t rscs_count_ = 0;
    std::vector<NodeEntry> node_entries_;
    std::vector<RscEntry> rsc_entries_;
    std::unordered_map<std::string, std::uint32_t> rsc_index_;  // type '\0' name
    std::unordered_map<std::string, std::uint32_t> node_by_name_;
    std::unordered_map<int, std::uint32_t> node_by_id_;
};

// liveness.cpp: the block's sizes set at creation and checked at attach.
void init_liveness_block(void *block);
int check_liveness_block(const std::string &object, const void *block);
// The daemon's calls, stamped into the attached node-manager segment's block.
void claim_daemon(LivenessBlock *block);
void release_daemon(LivenessBlock *block);
void stamp_ratio_read(LivenessBlock *block);
void stamp_state_read(LivenessBlock *block);

bool valid_state(int state);
bool valid_status(int status);

// create_destroy.cpp: what ipc_create refuses in a definition.
int check_definitions(const zvripc_node_def *nodes, int node_count, const zvripc_rsc_def *rscs,
                      int rsc_count);
// Fills a new node-manager segment at base (nm_total_size bytes, zeroed) with these
// nodes and resources as ipc_create makes them, all but the prefix and the lock.
void fill_nm_segment(char *base, const zvripc_node_def *nodes, std::uint32_t n, const zvripc_rsc_def *rscs,
                     std::uint32_t r);

int create_namespace(const std::string &ns, const zvripc_node_def *nodes, int node_count,
                     const zvripc_rsc_def *rscs, int rsc_count, const zvripc_create_opts &opts);
int destroy_namespace(const std::string &ns);

// migrate.cpp: a read-only view of a segment of an older layout reads it as the current
// layout would hold it (a private copy, taken now); *layout is the layout found.
int read_older_layout(Mapping &map, std::uint32_t magic, std::uint32_t *layout);

// reconfigure.cpp: ipc_reconfigure.
int reconfigure_namespace(const std::string &ns, const zvripc_node_def *nodes, int node_count,
                          const zvripc_rsc_def *rscs, int rsc_count, zvripc_carried *carried);

}  // namespace zvripc
