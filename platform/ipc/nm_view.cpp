// SPDX-License-Identifier: GPL-3.0-or-later
// The node-manager segment as this process sees it. Attach checks the header, every
// count against the limits and the object's size, and every name, and copies the names,
// priorities and counts, so that nothing a writer does to the segment later can make
// this process read past its mapping or find another entry.
#include <algorithm>
#include <cstring>

#include "namespace.h"
#include "segment.h"
#include "trust.h"
#include "zvripc.h"

namespace zvripc {

namespace {

// Bounded length of a fixed-size name field; the size itself when no NUL is there.
std::size_t field_length(const char *field, std::size_t size) {
    return strnlen(field, size);
}

std::string rsc_key(const char *type, const char *name) {
    std::string key(type);
    key += '\0';
    key += name;
    return key;
}

// Under the segment's lock.
void note_change(HistoryRecord &h, const Stamp &at) {
    h.last_wall_ns = at.wall;
    h.last_mono_ns = at.mono;
    h.recent_mono_ns[h.count % kHistoryRecent] = at.mono;
    ++h.count;
}

// Fills a multi-string list from the names that pass `take`, following the two-call
// protocol: a null buffer asks for the size, a buffer smaller than the list is refused.
template <class Take, class Name>
int fill_list(std::uint32_t count, Take &&take, Name &&name, char *buf, int *size) {
    if (size == nullptr || *size < 0) {
        return fail(ZVRIPC_EARG, "the size argument is null or negative");
    }
    std::uint64_t need = 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (take(i)) {
            need += name(i).size() + 1;
        }
    }
    need = std::max<std::uint64_t>(need, 2);  // the empty list is two NUL bytes
    if (buf == nullptr) {
        *size = static_cast<int>(need);
        return ZVRIPC_OK;
    }
    if (static_cast<std::uint64_t>(*size) < need) {
        int given = *size;
        *size = static_cast<int>(need);
        return fail(ZVRIPC_ESIZE, "a buffer of %d bytes is too small for the list of %llu bytes", given,
                    static_cast<unsigned long long>(need));
    }
    char *out = buf;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (take(i)) {
            const std::string &text = name(i);
            std::memcpy(out, text.c_str(), text.size() + 1);
            out += text.size() + 1;
        }
    }
    *out++ = '\0';
    if (out == buf + 1) {
        *out = '\0';
    }
    *size = static_cast<int>(need);
    return ZVRIPC_OK;
}

}  // namespace

void NmView::reset() {
    map_.reset();
    layout_ = kVersion;
    hdr_ = nullptr;
    nodes_ = nullptr;
    rscs_ = nullptr;
    states_ = nullptr;
    state_history_ = status_history_ = nullptr;
    liveness_ = nullptr;
    nodes_count_ = rscs_count_ = 0;
    node_entries_.clear();
    rsc_entries_.clear();
    rsc_index_.clear();
    node_by_name_.clear();
    node_by_id_.clear();
}

int NmView::open(const std::string &ns, bool writable) {
    reset();
    std::string object = object_names(ns).nm;
    if (int rc = map_.open(object, sizeof(Prefix), writable)) {
        return rc;
    }
    if (!writable) {
        if (int rc = read_older_layout(map_, kNmMagic, &layout_)) {
            map_.reset();
            return rc;
        }
    }
    auto *hdr = static_cast<NmHeader *>(map_.addr());
    int rc = check_prefix(object, &hdr->prefix, kNmMagic, sizeof(NmHeader), map_.size());
    if (rc == ZVRIPC_OK) {
        rc = check_group("segment", object, map_.stat(), hdr->prefix.writer_gid);
    }
    if (rc == ZVRIPC_OK &&
        (hdr->node_record_size != sizeof(NodeRecord) || hdr->rsc_record_size != sizeof(RscRecord))) {
        rc = fail(ZVRIPC_EBADSEG, "segment %s: records of %u and %u bytes, expected %zu and %zu",
                  object.c_str(), hdr->node_record_size, hdr->rsc_record_size, sizeof(NodeRecord),
                  sizeof(RscRecord));
    }
    if (rc == ZVRIPC_OK &&
        (hdr->history_record_size != sizeof(HistoryRecord) || hdr->history_recent != kHistoryRecent)) {
        rc = fail(ZVRIPC_EBADSEG,
                  "segment %s: history records of %u bytes with %u change times, expected %zu and %u",
                  object.c_str(), hdr->history_record_size, hdr->history_recent, sizeof(HistoryRecord),
                  kHistoryRecent);
    }
    // Counts are read only once the header is known to be whole.
    std::uint32_t nodes = rc == ZVRIPC_OK ? hdr->node_count : 0;
    std::uint32_t rscs = rc == ZVRIPC_OK ? hdr->rsc_count : 0;
    if (rc == ZVRIPC_OK && (nodes > ZVRIPC_MAX_NODES || rscs > ZVRIPC_MAX_RESOURCES)) {
        rc = fail(ZVRIPC_EBADSEG, "segment %s: %u nodes and %u resources, more than %d and %d",
                  object.c_str(), nodes, rscs, ZVRIPC_MAX_NODES, ZVRIPC_MAX_RESOURCES);
    }
    if (rc == ZVRIPC_OK && nm_total_size(nodes, rscs) != map_.size()) {
        rc = fail(ZVRIPC_EBADSEG, "segment %s: %u nodes and %u resources need %llu bytes, it holds %llu",
                  object.c_str(), nodes, rscs, static_cast<unsigned long long>(nm_total_size(nodes, rscs)),
                  static_cast<unsigned long long>(map_.size()));
    }
    if (rc != ZVRIPC_OK) {
        map_.reset();
        return rc;
    }
    auto *base = static_cast<char *>(map_.addr());
    auto *node_records = reinterpret_cast<NodeRecord *>(base + nm_nodes_offset());
    auto *rsc_records = reinterpret_cast<RscRecord *>(base + nm_rscs_offset(nodes));
    // Each record is copied before it is looked at: a writer that changes it meanwhile
    // changes nothing that was checked.
    for (std::uint32_t i = 0; i < nodes && rc == ZVRIPC_OK; ++i) {
        NodeRecord node;
        std::memcpy(&node, &node_records[i], sizeof node);
        std::size_t len = field_length(node.name, sizeof node.name);
        if (len == 0 || len == sizeof node.name) {
            rc = fail(ZVRIPC_EBADSEG, "segment %s: node %u has an empty or unterminated name", object.c_str(),
                      i);
        } else if (!node_by_name_.emplace(std::string(node.name, len), i).second ||
                   !node_by_id_.emplace(node.priority, i).second) {
            rc = fail(ZVRIPC_EBADSEG, "segment %s: node %u (%s) repeats a name or priority", object.c_str(),
                      i, node.name);
        } else {
            node_entries_.push_back({std::string(node.name, len), node.priority});
        }
    }
    for (std::uint32_t i = 0; i < rscs && rc == ZVRIPC_OK; ++i) {
        RscRecord r;
        std::memcpy(&r, &rsc_records[i], sizeof r);
        std::size_t tlen = field_length(r.type, sizeof r.type);
        std::size_t nlen = field_length(r.name, sizeof r.name);
        if (tlen == 0 || tlen == sizeof r.type || nlen == 0 || nlen == sizeof r.name) {
            rc = fail(ZVRIPC_EBADSEG, "segment %s: resource %u has an empty or unterminated type or name",
                      object.c_str(), i);
        } else if (!rsc_index_.emplace(rsc_key(r.type, r.name), i).second) {
            rc = fail(ZVRIPC_EBADSEG, "segment %s: resource %u (%s/%s) is there twice", object.c_str(), i,
                      r.type, r.name);
        } else {
            rsc_entries_.push_back({std::string(r.type, tlen), std::string(r.name, nlen), r.priority});
        }
    }
    if (rc == ZVRIPC_OK) {
        rc = check_liveness_block(object, base + nm_liveness_offset(nodes, rscs));
    }
    if (rc == ZVRIPC_OK && writable) {
        rc = check_lock(object, &hdr->lock, &hdr->recoveries);
    }
    if (rc != ZVRIPC_OK) {
        reset();
        return rc;
    }
    hdr_ = hdr;
    nodes_ = node_records;
    rscs_ = rsc_records;
    states_ = reinterpret_cast<std::int32_t *>(base + nm_states_offset(nodes, rscs));
    state_history_ = reinterpret_cast<HistoryRecord *>(base + nm_history_offset(nodes, rscs));
    status_history_ = reinterpret_cast<HistoryRecord *>(base + nm_status_history_offset(nodes, rscs));
    liveness_ = reinterpret_cast<LivenessBlock *>(base + nm_liveness_offset(nodes, rscs));
    nodes_count_ = nodes;
    rscs_count_ = rscs;
    return ZVRIPC_OK;
}

int NmView::enum_rsc(const char *type, char *buf, int *size) const {
    if (type == nullptr) {
        return fail(ZVRIPC_EARG, "the resource type is null");
    }
    return fill_list(
        rscs_count_, [&](std::uint32_t i) { return rsc_entries_[i].type == type; },
        [&](std::uint32_t i) -> const std::string & { return rsc_entries_[i].name; }, buf, size);
}

int NmView::enum_node(char *buf, int *size) const {
    return fill_list(
        nodes_count_, [](std::uint32_t) { return true; },
        [&](std::uint32_t i) -> const std::string & { return node_entries_[i].name; }, buf, size);
}

int NmView::node_priority(const char *node, int *pri) const {
    if (node == nullptr || pri == nullptr) {
        return fail(ZVRIPC_EARG, "null node name or result pointer");
    }
    auto it = node_by_name_.find(node);
    if (it == node_by_name_.end()) {
        return fail(ZVRIPC_ENOTFOUND, "no node \"%s\"", node);
    }
    *pri = node_entries_[it->second].priority;
    return ZVRIPC_OK;
}

int NmView::find_rsc(const char *type, const char *rsc, std::uint32_t *index) const {
    if (type == nullptr || rsc == nullptr) {
        return fail(ZVRIPC_EARG, "null resource type or name");
    }
    auto it = rsc_index_.find(rsc_key(type, rsc));
    if (it == rsc_index_.end()) {
        return fail(ZVRIPC_ENOTFOUND, "no resource %s/%s", type, rsc);
    }
    *index = it->second;
    return ZVRIPC_OK;
}

int NmView::find_node(int nodeid, std::uint32_t *index) const {
    auto it = node_by_id_.find(nodeid);
    if (it == node_by_id_.end()) {
        return fail(ZVRIPC_ENOTFOUND, "no node with id %d", nodeid);
    }
    *index = it->second;
    return ZVRIPC_OK;
}

int NmView::rsc_priority(const char *type, const char *rsc, int *pri) const {
    std::uint32_t r = 0;
    if (pri == nullptr) {
        return fail(ZVRIPC_EARG, "null result pointer");
    }
    if (int rc = find_rsc(type, rsc, &r)) {
        return rc;
    }
    *pri = rsc_entries_[r].priority;
    return ZVRIPC_OK;
}

int NmView::get_state(const char *type, const char *rsc, int nodeid, int *stat) {
    std::uint32_t r = 0;
    std::uint32_t n = 0;
    if (stat == nullptr) {
        return fail(ZVRIPC_EARG, "null result pointer");
    }
    if (int rc = find_rsc(type, rsc, &r)) {
        return rc;
    }
    if (int rc = find_node(nodeid, &n)) {
        return rc;
    }
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    *stat = states_[static_cast<std::size_t>(r) * nodes_count_ + n];
    return ZVRIPC_OK;
}

int NmView::set_state(const char *type, const char *rsc, int nodeid, int stat) {
    std::uint32_t r = 0;
    std::uint32_t n = 0;
    if (!valid_state(stat)) {
        return fail(ZVRIPC_EARG, "state %d is not one of %d, %d, %d, %d", stat, RSCSV_ONLINE, RSCSV_OFFLINE,
                    RSCSV_UNKNOWN, RSCSV_UNUSED);
    }
    if (int rc = find_rsc(type, rsc, &r)) {
        return rc;
    }
    if (int rc = find_node(nodeid, &n)) {
        return rc;
    }
    // The clocks are read before the lock, so that it is held for stores only.
    const Stamp now = stamp_now();
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    const std::size_t at = static_cast<std::size_t>(r) * nodes_count_ + n;
    if (states_[at] != stat) {
        states_[at] = stat;
        note_change(state_history_[at], now);
    }
    return ZVRIPC_OK;
}

int NmView::set_status(const char *type, const char *rsc, int stat) {
    std::uint32_t r = 0;
    if (!valid_status(stat)) {
        return fail(ZVRIPC_EARG, "status %d is not one of %d, %d, %d, %d, %d", stat, RSC_NORMAL, RSC_CAUTION,
                    RSC_ERROR, RSC_UNKNOWN, RSC_UNUSED);
    }
    if (int rc = find_rsc(type, rsc, &r)) {
        return rc;
    }
    const Stamp now = stamp_now();
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    if (rscs_[r].status != stat) {
        rscs_[r].status = stat;
        note_change(status_history_[r], now);
    }
    return ZVRIPC_OK;
}

int NmView::get_waitstat(int *waitstat) {
    if (waitstat == nullptr) {
        return fail(ZVRIPC_EARG, "null result pointer");
    }
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    *waitstat = hdr_->waitstat;
    return ZVRIPC_OK;
}

int NmView::set_waitstat(int waitstat) {
    if (waitstat != 0 && waitstat != 1) {
        return fail(ZVRIPC_EARG, "wait status %d is neither 0 nor 1", waitstat);
    }
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    hdr_->waitstat = waitstat;
    return ZVRIPC_OK;
}

std::uint64_t NmView::changes() const {
    return std::atomic_ref<std::uint64_t>(hdr_->changes).load(std::memory_order_acquire);
}

std::uint64_t NmView::advance_changes() {
    return std::atomic_ref<std::uint64_t>(hdr_->changes).fetch_add(1, std::memory_order_acq_rel) + 1;
}

int NmView::intact() const {
    return map_.intact();
}

int NmView::read_all(int *statuses, int *states, HistoryRecord *status_history, HistoryRecord *state_history,
                     int *waitstat, std::uint64_t *changes, std::uint64_t *recoveries) {
    // From the segment or a copy of it at `base`; the offsets are those checked at attach.
    auto copy_from = [&](const char *base) {
        const auto *hdr = reinterpret_cast<const NmHeader *>(base);
        const auto *rscs = reinterpret_cast<const RscRecord *>(base + nm_rscs_offset(nodes_count_));
        for (std::uint32_t r = 0; r < rscs_count_; ++r) {
            statuses[r] = rscs[r].status;
        }
        // A namespace without resources or nodes hands empty (possibly null) buffers: memcpy
        // must not see a null pointer even for zero bytes.
        const std::size_t pairs = static_cast<std::size_t>(rscs_count_) * nodes_count_;
        if (pairs != 0) {
            std::memcpy(states, base + nm_states_offset(nodes_count_, rscs_count_), pairs * sizeof(int));
            std::memcpy(state_history, base + nm_history_offset(nodes_count_, rscs_count_),
                        pairs * sizeof(HistoryRecord));
        }
        if (rscs_count_ != 0) {
            std::memcpy(status_history, base + nm_status_history_offset(nodes_count_, rscs_count_),
                        rscs_count_ * sizeof(HistoryRecord));
        }
        *waitstat = hdr->waitstat;
        *recoveries = hdr->recoveries;
    };
    if (!map_.writable()) {
        std::vector<char> copy;
        if (int rc = map_.stable_copy(copy, &hdr_->lock)) {
            return rc;
        }
        copy_from(copy.data());
        *changes = reinterpret_cast<const NmHeader *>(copy.data())->changes;
        return ZVRIPC_OK;
    }
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    copy_from(static_cast<const char *>(map_.addr()));
    *changes = this->changes();
    return ZVRIPC_OK;
}

}  // namespace zvripc
