// SPDX-License-Identifier: GPL-3.0-or-later
// Bringing segments of an older layout to the current one (see migrate.h). A step per
// older layout; docs/ipc.md keeps the history of the layouts they follow.
#include "migrate.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "namespace.h"
#include "segment.h"
#include "trust.h"

namespace zvripc {

namespace {

Prefix prefix_of(const std::vector<char> &bytes) {
    Prefix p{};
    std::memcpy(&p, bytes.data(), sizeof p);
    return p;
}

void store_prefix(std::vector<char> &bytes, const Prefix &p) {
    std::memcpy(bytes.data(), &p, sizeof p);
}

// Layout 2 had no group record: the group that may write the objects is the one their
// mode lets write, which is what `init --group` made.
std::uint32_t group_from_mode(const struct stat &st) {
    return (st.st_mode & S_IWGRP) != 0 ? static_cast<std::uint32_t>(st.st_gid) : kNoGroup;
}

// Layout 2 to 3: the group recorded in the prefix, and the node-manager segment gets
// the liveness block at its end (no daemon, no supervisor, no audit yet). Everything
// before that block is where layout 3 keeps it.
int from_layout_2(const std::string &object, std::uint32_t magic, const struct stat &st,
                  std::vector<char> &bytes) {
    Prefix p = prefix_of(bytes);
    const bool nm = magic == kNmMagic;
    const std::uint32_t header = nm ? sizeof(NmHeader) : sizeof(CmSegment);
    if (p.header_size != header || bytes.size() < header || p.total_size != bytes.size()) {
        return fail(
            ZVRIPC_EBADSEG, "segment %s (layout 2): header of %u bytes and %llu in all, but it holds %zu",
            object.c_str(), p.header_size, static_cast<unsigned long long>(p.total_size), bytes.size());
    }
    if (nm) {
        NmHeader h{};
        std::memcpy(&h, bytes.data(), sizeof h);
        if (h.node_count > ZVRIPC_MAX_NODES || h.rsc_count > ZVRIPC_MAX_RESOURCES ||
            h.node_record_size != sizeof(NodeRecord) || h.rsc_record_size != sizeof(RscRecord) ||
            h.history_record_size != sizeof(HistoryRecord) || h.history_recent != kHistoryRecent ||
            nm_liveness_offset(h.node_count, h.rsc_count) != bytes.size()) {
            return fail(ZVRIPC_EBADSEG,
                        "segment %s (layout 2): %u nodes and %u resources do not fill its %zu bytes",
                        object.c_str(), h.node_count, h.rsc_count, bytes.size());
        }
        bytes.resize(bytes.size() + sizeof(LivenessBlock), 0);
        init_liveness_block(bytes.data() + nm_liveness_offset(h.node_count, h.rsc_count));
    }
    p.version = 3;
    p.writer_gid = group_from_mode(st);
    p.total_size = bytes.size();
    store_prefix(bytes, p);
    return ZVRIPC_OK;
}

struct Step {
    std::uint32_t from;
    int (*run)(const std::string &, std::uint32_t, const struct stat &, std::vector<char> &);
};

// One entry per released layout before the current one; a new layout adds the step from
// the one before it (tests/platform/ipc/fixtures holds what each release wrote).
constexpr Step kSteps[] = {{2, from_layout_2}};

const Step *step_from(std::uint32_t version) {
    for (const Step &s : kSteps) {
        if (s.from == version) {
            return &s;
        }
    }
    return nullptr;
}

int refuse_version(const std::string &object, std::uint32_t version) {
    if (version > kVersion) {
        return fail(ZVRIPC_EBADSEG,
                    "segment %s: layout version %u, newer than this library's %u (made by a newer tavik)",
                    object.c_str(), version, kVersion);
    }
    return fail(ZVRIPC_EBADSEG,
                "segment %s: layout version %u, which this library (layout %u) cannot migrate",
                object.c_str(), version, kVersion);
}

}  // namespace

bool migratable(std::uint32_t version) {
    if (version < kOldestLayout || version > kVersion) {
        return false;
    }
    for (std::uint32_t v = version; v < kVersion; ++v) {
        if (step_from(v) == nullptr) {
            return false;
        }
    }
    return true;
}

int upgrade_segment(const std::string &object, std::uint32_t magic, const struct stat &st,
                    std::vector<char> &bytes) {
    for (;;) {
        if (bytes.size() < sizeof(Prefix) || prefix_of(bytes).magic != magic) {
            return fail(ZVRIPC_EBADSEG, "segment %s: not a segment of this kind (bad magic or too short)",
                        object.c_str());
        }
        const std::uint32_t version = prefix_of(bytes).version;
        if (version == kVersion) {
            return ZVRIPC_OK;
        }
        if (!migratable(version)) {
            return refuse_version(object, version);
        }
        if (int rc = step_from(version)->run(object, magic, st, bytes)) {
            return rc;
        }
    }
}

// Layouts 2 and 3 keep the lock and the recovery count where the current headers do.
std::size_t lock_offset(std::uint32_t magic, std::uint32_t) {
    return magic == kNmMagic ? offsetof(NmHeader, lock) : offsetof(CmSegment, lock);
}

namespace {

std::size_t recoveries_offset(std::uint32_t magic) {
    return magic == kNmMagic ? offsetof(NmHeader, recoveries) : offsetof(CmSegment, recoveries);
}

// Fills the new object: everything but the magic, a fresh lock, then the magic, so a
// reader that comes early refuses it as it refuses a half-made segment.
int fill_object(const std::string &temp, int fd, std::vector<char> &bytes) {
    if (ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) {
        return fail(ZVRIPC_ESYS, "segment %s: cannot size to %zu bytes: %s", temp.c_str(), bytes.size(),
                    errno_text(errno).c_str());
    }
    void *addr = mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        return fail(ZVRIPC_ESYS, "segment %s: cannot map: %s", temp.c_str(), errno_text(errno).c_str());
    }
    Prefix p = prefix_of(bytes);
    std::memcpy(addr, bytes.data(), bytes.size());
    auto *prefix = static_cast<Prefix *>(addr);
    prefix->magic = 0;
    auto *lock =
        reinterpret_cast<pthread_mutex_t *>(static_cast<char *>(addr) + lock_offset(p.magic, p.version));
    int rc = init_robust_mutex(lock, temp);
    if (rc == ZVRIPC_OK) {
        magic_of(prefix).store(p.magic, std::memory_order_release);
    }
    munmap(addr, bytes.size());
    return rc;
}

}  // namespace

int replace_segment(const std::string &object, std::vector<char> bytes, mode_t mode, gid_t gid) {
    // A leftover of a replacement that was cut short holds nothing the name does not.
    const std::string temp = object + ".new";
    shm_unlink(temp.c_str());
    int fd = shm_open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        return fail(ZVRIPC_ESYS, "segment %s: cannot create: %s", temp.c_str(), errno_text(errno).c_str());
    }
    int rc = ZVRIPC_OK;
    if (fchmod(fd, mode) != 0 || fchown(fd, static_cast<uid_t>(-1), gid) != 0) {
        rc = fail(ZVRIPC_ESYS, "segment %s: cannot set mode %04o and group %u: %s", temp.c_str(),
                  static_cast<unsigned>(mode), static_cast<unsigned>(gid), errno_text(errno).c_str());
    }
    if (rc == ZVRIPC_OK) {
        rc = fill_object(temp, fd, bytes);
    }
    close(fd);
    if (rc == ZVRIPC_OK && rename(segment_file(temp).c_str(), segment_file(object).c_str()) != 0) {
        rc = fail(ZVRIPC_ESYS, "segment %s: cannot put %s in its place: %s", object.c_str(), temp.c_str(),
                  errno_text(errno).c_str());
    }
    if (rc != ZVRIPC_OK) {
        shm_unlink(temp.c_str());
    }
    return rc;
}

void audit_into(std::vector<char> &nm, const char *what, const char *from, const char *to) {
    NmHeader h{};
    std::memcpy(&h, nm.data(), sizeof h);
    auto *b = reinterpret_cast<LivenessBlock *>(nm.data() + nm_liveness_offset(h.node_count, h.rsc_count));
    AuditRecord &r = b->audit[b->audit_count % kAuditRecords];
    r.wall_ns = stamp_now().wall;
    r.uid = static_cast<std::uint32_t>(getuid());
    r.pid = getpid();
    copy_field(r.what, sizeof r.what, what);
    copy_field(r.from, sizeof r.from, from);
    copy_field(r.to, sizeof r.to, to);
    ++b->audit_count;
}

namespace {

struct OldSegment {
    std::string object;
    std::uint32_t magic = 0;
    Mapping map;
    std::uint32_t version = 0;
};

int look_at(OldSegment &seg) {
    if (int rc = seg.map.open(seg.object, sizeof(Prefix))) {
        return rc;
    }
    auto *p = static_cast<Prefix *>(seg.map.addr());
    if (magic_of(p).load(std::memory_order_acquire) != seg.magic) {
        return fail(ZVRIPC_EBADSEG, "segment %s: bad magic, not a segment of this kind", seg.object.c_str());
    }
    seg.version = p->version;
    if (seg.version != kVersion && !migratable(seg.version)) {
        return refuse_version(seg.object, seg.version);
    }
    const std::size_t header = seg.magic == kNmMagic ? sizeof(NmHeader) : sizeof(CmSegment);
    if (seg.version != kVersion && seg.map.size() < header) {
        return fail(ZVRIPC_EBADSEG, "segment %s holds %llu bytes, fewer than its header", seg.object.c_str(),
                    static_cast<unsigned long long>(seg.map.size()));
    }
    return ZVRIPC_OK;
}

// Under the old segment's lock, so no writer of the old layout changes it between the
// copy and the rename; such a writer that waits on the lock then writes into the old
// object, which no name reaches any more.
int migrate_segment(OldSegment &seg) {
    char *base = static_cast<char *>(seg.map.addr());
    auto *lock = reinterpret_cast<pthread_mutex_t *>(base + lock_offset(seg.magic, seg.version));
    auto *recoveries = reinterpret_cast<std::uint64_t *>(base + recoveries_offset(seg.magic));
    if (int rc = check_lock(seg.object, lock, recoveries)) {
        return rc;
    }
    SegmentLock held(lock, recoveries);
    if (held.result() != ZVRIPC_OK) {
        return held.result();
    }
    std::vector<char> bytes(base, base + seg.map.size());
    if (int rc = upgrade_segment(seg.object, seg.magic, seg.map.stat(), bytes)) {
        return rc;
    }
    if (seg.magic == kNmMagic) {
        const std::string from = "layout " + std::to_string(seg.version);
        const std::string to = "layout " + std::to_string(kVersion);
        audit_into(bytes, "migrate", from.c_str(), to.c_str());
    }
    return replace_segment(seg.object, std::move(bytes), static_cast<mode_t>(seg.map.mode()),
                           seg.map.stat().st_gid);
}

}  // namespace

int read_older_layout(Mapping &map, std::uint32_t magic, std::uint32_t *layout) {
    auto *p = static_cast<Prefix *>(map.addr());
    *layout = kVersion;
    if (magic_of(p).load(std::memory_order_acquire) != magic || p->version == kVersion ||
        !migratable(p->version)) {
        return ZVRIPC_OK;  // the usual checks refuse what is wrong
    }
    const std::uint32_t version = p->version;
    const std::size_t header = magic == kNmMagic ? sizeof(NmHeader) : sizeof(CmSegment);
    if (map.size() < header) {
        return ZVRIPC_OK;
    }
    std::vector<char> bytes;
    auto *lock = reinterpret_cast<const pthread_mutex_t *>(static_cast<char *>(map.addr()) +
                                                           lock_offset(magic, version));
    if (int rc = map.stable_copy(bytes, lock)) {
        return rc;
    }
    if (int rc = upgrade_segment(map.object(), magic, map.stat(), bytes)) {
        return rc;
    }
    *layout = version;
    return map.adopt(bytes);
}

int migrate_namespace(const std::string &ns, int *from) {
    const ObjectNames names = object_names(ns);
    OldSegment segs[2];
    segs[0].object = names.cm;
    segs[0].magic = kCmMagic;
    segs[1].object = names.nm;
    segs[1].magic = kNmMagic;
    *from = static_cast<int>(kVersion);
    // Both are looked at before either changes: a newer or unknown layout in one leaves
    // the other as it is too.
    for (OldSegment &seg : segs) {
        if (int rc = look_at(seg)) {
            return rc;
        }
        *from = std::min(*from, static_cast<int>(seg.version));
    }
    // Each segment is replaced on its own; a crash between the two leaves one migrated,
    // and the next migration finishes the other.
    for (OldSegment &seg : segs) {
        if (seg.version != kVersion) {
            if (int rc = migrate_segment(seg)) {
                return rc;
            }
        }
    }
    return ZVRIPC_OK;
}

}  // namespace zvripc
