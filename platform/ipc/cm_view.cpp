// SPDX-License-Identifier: GPL-3.0-or-later
// The cluster-manager segment as this process sees it: attached after its prefix, group
// and lock are checked; every read and write under the segment's lock.
#include <cstring>
#include <vector>

#include "namespace.h"
#include "segment.h"
#include "trust.h"

namespace zvripc {

int CmView::open(const std::string &ns, bool writable) {
    reset();
    std::string object = object_names(ns).cm;
    if (int rc = map_.open(object, sizeof(Prefix), writable)) {
        return rc;
    }
    if (!writable) {
        if (int rc = read_older_layout(map_, kCmMagic, &layout_)) {
            map_.reset();
            return rc;
        }
    }
    auto *seg = static_cast<CmSegment *>(map_.addr());
    int rc = check_prefix(object, &seg->prefix, kCmMagic, sizeof(CmSegment), map_.size());
    if (rc == ZVRIPC_OK) {
        rc = check_group("segment", object, map_.stat(), seg->prefix.writer_gid);
    }
    if (rc == ZVRIPC_OK && writable) {
        rc = check_lock(object, &seg->lock, &seg->recoveries);
    }
    if (rc != ZVRIPC_OK) {
        map_.reset();
        return rc;
    }
    seg_ = seg;
    return ZVRIPC_OK;
}

int CmView::intact() const {
    return map_.intact();
}

int CmView::get_action(int *action, char *acttype) {
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    *action = seg_->action;
    if (acttype != nullptr) {
        std::memcpy(acttype, seg_->acttype, sizeof seg_->acttype);
        acttype[sizeof seg_->acttype - 1] = '\0';
    }
    return ZVRIPC_OK;
}

int CmView::get_ratio(int *ratio, int *period) {
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    *ratio = seg_->ratio;
    if (period != nullptr) {
        *period = seg_->period;
    }
    return ZVRIPC_OK;
}

int CmView::set_ratio(int ratio, int period) {
    if (ratio < 1 || period < 0) {
        return fail(ZVRIPC_EARG, "ratio %d must be at least 1 and period %d at least 0", ratio, period);
    }
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    seg_->ratio = ratio;
    seg_->period = period;
    return ZVRIPC_OK;
}

int CmView::set_action(int action, const char *acttype) {
    if (acttype != nullptr && std::strlen(acttype) > ZVRIPC_ACTTYPE_MAX) {
        return fail(ZVRIPC_EARG, "action type \"%s\" is longer than %d bytes", acttype, ZVRIPC_ACTTYPE_MAX);
    }
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    seg_->action = action;
    if (acttype != nullptr) {
        copy_field(seg_->acttype, sizeof seg_->acttype, acttype);
    }
    return ZVRIPC_OK;
}

int CmView::read_all(int *action, char *acttype, int *ratio, int *period, std::uint64_t *recoveries) {
    auto copy_from = [&](const CmSegment &seg) {
        *action = seg.action;
        std::memcpy(acttype, seg.acttype, sizeof seg.acttype);
        acttype[sizeof seg.acttype - 1] = '\0';
        *ratio = seg.ratio;
        *period = seg.period;
        *recoveries = seg.recoveries;
    };
    if (!map_.writable()) {
        std::vector<char> copy;
        if (int rc = map_.stable_copy(copy, &seg_->lock)) {
            return rc;
        }
        copy_from(*reinterpret_cast<const CmSegment *>(copy.data()));
        return ZVRIPC_OK;
    }
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    copy_from(*seg_);
    return ZVRIPC_OK;
}

}  // namespace zvripc
