// SPDX-License-Identifier: GPL-3.0-or-later
// Creating a whole namespace (all four objects or none) and removing one.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "namespace.h"
#include "segment.h"
#include "trust.h"
#include "zvripc.h"

namespace zvripc {

namespace {

// Objects made by one create call, removed again unless the call succeeds.
class Rollback {
  public:
    ~Rollback() {
        if (committed_) {
            return;
        }
        for (const auto &name : shm_) {
            shm_unlink(name.c_str());
        }
        for (const auto &name : sem_) {
            sem_unlink(name.c_str());
        }
    }
    void add_shm(const std::string &name) { shm_.push_back(name); }
    void add_sem(const std::string &name) { sem_.push_back(name); }
    void commit() { committed_ = true; }

  private:
    std::vector<std::string> shm_, sem_;
    bool committed_ = false;
};

int create_semaphore(const std::string &object, mode_t mode, int gid, Rollback &rollback) {
    sem_t *sem = sem_open(object.c_str(), O_CREAT | O_EXCL, mode, 0u);
    if (sem == SEM_FAILED) {
        int err = errno;
        if (err == EEXIST) {
            return fail(ZVRIPC_EEXIST, "semaphore %s exists already (%s)", object.c_str(),
                        describe_existing(semaphore_file(object)).c_str());
        }
        return fail(ZVRIPC_ESYS, "semaphore %s: cannot create: %s", object.c_str(), errno_text(err).c_str());
    }
    rollback.add_sem(object);
    sem_close(sem);
    // sem_open applies the umask, which can only take bits away; put back exactly the
    // mode (and group) asked for.
    return set_semaphore_mode(object, mode, gid);
}

// Creates a segment of `size` bytes and hands its mapping to fill, which must set
// everything but the magic; the magic is stored last.
template <class Fill>
int create_segment(const std::string &object, std::uint64_t size, mode_t mode, int gid, std::uint32_t magic,
                   Rollback &rollback, Fill &&fill) {
    int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        int err = errno;
        if (err == EEXIST) {
            return fail(ZVRIPC_EEXIST, "segment %s exists already (%s)", object.c_str(),
                        describe_existing(segment_file(object)).c_str());
        }
        return fail(ZVRIPC_ESYS, "segment %s: cannot create: %s", object.c_str(), errno_text(err).c_str());
    }
    rollback.add_shm(object);
    int rc = ZVRIPC_OK;
    if (fchmod(fd, mode) != 0 ||
        (gid >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0)) {
        rc = fail(ZVRIPC_ESYS, "segment %s: cannot set mode %04o%s: %s", object.c_str(),
                  static_cast<unsigned>(mode), gid >= 0 ? " and group" : "", errno_text(errno).c_str());
    } else if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        rc = fail(ZVRIPC_ESYS, "segment %s: cannot size to %llu bytes: %s", object.c_str(),
                  static_cast<unsigned long long>(size), errno_text(errno).c_str());
    }
    void *addr = MAP_FAILED;
    if (rc == ZVRIPC_OK) {
        addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            rc = fail(ZVRIPC_ESYS, "segment %s: cannot map: %s", object.c_str(), errno_text(errno).c_str());
        }
    }
    close(fd);
    if (rc != ZVRIPC_OK) {
        return rc;
    }
    auto *prefix = static_cast<Prefix *>(addr);
    rc = fill(addr);
    if (rc == ZVRIPC_OK) {
        prefix->version = kVersion;
        prefix->writer_gid = gid >= 0 ? static_cast<std::uint32_t>(gid) : kNoGroup;
        prefix->total_size = size;
        magic_of(prefix).store(magic, std::memory_order_release);
    }
    munmap(addr, size);
    return rc;
}

int check_length(const char *what, const char *text, std::size_t max, int index) {
    if (text == nullptr) {
        return fail(ZVRIPC_EARG, "%s of entry %d is missing", what, index);
    }
    std::size_t len = std::strlen(text);
    if (len == 0) {
        return fail(ZVRIPC_EARG, "%s of entry %d is empty", what, index);
    }
    if (len > max) {
        return fail(ZVRIPC_EARG, "%s \"%s\" is %zu bytes long, more than %zu", what, text, len, max);
    }
    return ZVRIPC_OK;
}

}  // namespace

int check_definitions(const zvripc_node_def *nodes, int node_count, const zvripc_rsc_def *rscs,
                      int rsc_count) {
    if (node_count < 0 || node_count > ZVRIPC_MAX_NODES || (node_count > 0 && nodes == nullptr)) {
        return fail(ZVRIPC_EARG, "node count %d is outside 0..%d", node_count, ZVRIPC_MAX_NODES);
    }
    if (rsc_count < 0 || rsc_count > ZVRIPC_MAX_RESOURCES || (rsc_count > 0 && rscs == nullptr)) {
        return fail(ZVRIPC_EARG, "resource count %d is outside 0..%d", rsc_count, ZVRIPC_MAX_RESOURCES);
    }
    std::unordered_set<std::string> names;
    std::unordered_set<int> ids;
    for (int i = 0; i < node_count; ++i) {
        if (int rc = check_length("node name", nodes[i].name, ZVRIPC_NODE_NAME_MAX, i)) {
            return rc;
        }
        if (nodes[i].priority < 0) {
            return fail(ZVRIPC_EARG, "node \"%s\" has the negative priority %d", nodes[i].name,
                        nodes[i].priority);
        }
        if (!names.insert(nodes[i].name).second) {
            return fail(ZVRIPC_EARG, "node \"%s\" is given twice", nodes[i].name);
        }
        if (!ids.insert(nodes[i].priority).second) {
            return fail(ZVRIPC_EARG, "node \"%s\" has priority %d, which another node has already",
                        nodes[i].name, nodes[i].priority);
        }
    }
    std::unordered_set<std::string> keys;
    for (int i = 0; i < rsc_count; ++i) {
        if (int rc = check_length("resource type", rscs[i].type, ZVRIPC_RSC_TYPE_MAX, i)) {
            return rc;
        }
        if (int rc = check_length("resource name", rscs[i].name, ZVRIPC_RSC_NAME_MAX, i)) {
            return rc;
        }
        if (rscs[i].priority < 0) {
            return fail(ZVRIPC_EARG, "resource %s/%s has the negative priority %d", rscs[i].type,
                        rscs[i].name, rscs[i].priority);
        }
        if (!keys.insert(std::string(rscs[i].type) + '\0' + rscs[i].name).second) {
            return fail(ZVRIPC_EARG, "resource %s/%s is given twice", rscs[i].type, rscs[i].name);
        }
    }
    return ZVRIPC_OK;
}

void fill_nm_segment(char *base, const zvripc_node_def *nodes, std::uint32_t n, const zvripc_rsc_def *rscs,
                     std::uint32_t r) {
    auto *hdr = reinterpret_cast<NmHeader *>(base);
    hdr->prefix.header_size = sizeof(NmHeader);
    hdr->node_count = n;
    hdr->rsc_count = r;
    hdr->node_record_size = sizeof(NodeRecord);
    hdr->rsc_record_size = sizeof(RscRecord);
    hdr->waitstat = 0;
    hdr->history_record_size = sizeof(HistoryRecord);
    hdr->history_recent = kHistoryRecent;
    const Stamp created = stamp_now();
    hdr->created_wall_ns = created.wall;
    hdr->created_mono_ns = created.mono;
    auto *node_records = reinterpret_cast<NodeRecord *>(base + nm_nodes_offset());
    for (std::uint32_t i = 0; i < n; ++i) {
        copy_field(node_records[i].name, sizeof node_records[i].name, nodes[i].name);
        node_records[i].priority = nodes[i].priority;
    }
    auto *rsc_records = reinterpret_cast<RscRecord *>(base + nm_rscs_offset(n));
    for (std::uint32_t i = 0; i < r; ++i) {
        copy_field(rsc_records[i].type, sizeof rsc_records[i].type, rscs[i].type);
        copy_field(rsc_records[i].name, sizeof rsc_records[i].name, rscs[i].name);
        rsc_records[i].priority = rscs[i].priority;
        rsc_records[i].status = RSC_UNKNOWN;
    }
    auto *states = reinterpret_cast<std::int32_t *>(base + nm_states_offset(n, r));
    for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(n) * r; ++i) {
        states[i] = RSCSV_UNKNOWN;
    }
    init_liveness_block(base + nm_liveness_offset(n, r));
}

int create_namespace(const std::string &ns, const zvripc_node_def *nodes, int node_count,
                     const zvripc_rsc_def *rscs, int rsc_count, const zvripc_create_opts &opts) {
    if (int rc = check_definitions(nodes, node_count, rscs, rsc_count)) {
        return rc;
    }
    if (opts.gid < -1) {
        return fail(ZVRIPC_EARG, "group id %d is not valid", opts.gid);
    }
    if (opts.replace != 0) {
        int rc = destroy_namespace(ns);
        if (rc != ZVRIPC_OK && rc != ZVRIPC_ENOENT) {
            return rc;
        }
    }
    ObjectNames names = object_names(ns);
    mode_t mode = opts.gid >= 0 ? 0660 : 0600;
    Rollback rollback;
    if (int rc = create_semaphore(names.statchange, mode, opts.gid, rollback)) {
        return rc;
    }
    if (int rc = create_semaphore(names.downnotify, mode, opts.gid, rollback)) {
        return rc;
    }
    int rc = create_segment(names.cm, sizeof(CmSegment), mode, opts.gid, kCmMagic, rollback, [&](void *addr) {
        auto *seg = static_cast<CmSegment *>(addr);
        seg->prefix.header_size = sizeof(CmSegment);
        seg->action = 0;
        seg->ratio = 1;
        seg->period = 0;
        return init_robust_mutex(&seg->lock, names.cm);
    });
    if (rc != ZVRIPC_OK) {
        return rc;
    }
    auto n = static_cast<std::uint32_t>(node_count);
    auto r = static_cast<std::uint32_t>(rsc_count);
    rc = create_segment(names.nm, nm_total_size(n, r), mode, opts.gid, kNmMagic, rollback, [&](void *addr) {
        fill_nm_segment(static_cast<char *>(addr), nodes, n, rscs, r);
        auto *hdr = static_cast<NmHeader *>(addr);
        return init_robust_mutex(&hdr->lock, names.nm);
    });
    if (rc != ZVRIPC_OK) {
        return rc;
    }
    rollback.commit();
    return ZVRIPC_OK;
}

int destroy_namespace(const std::string &ns) {
    ObjectNames names = object_names(ns);
    int missing = 0;
    int rc = ZVRIPC_OK;
    auto note = [&](int result, const std::string &object) {
        if (result == 0) {
            return;
        }
        if (errno == ENOENT) {
            ++missing;
        } else if (rc == ZVRIPC_OK) {
            rc = fail(ZVRIPC_ESYS, "cannot remove %s: %s", object.c_str(), errno_text(errno).c_str());
        }
    };
    note(shm_unlink(names.nm.c_str()), names.nm);
    note(shm_unlink(names.cm.c_str()), names.cm);
    note(sem_unlink(names.statchange.c_str()), names.statchange);
    note(sem_unlink(names.downnotify.c_str()), names.downnotify);
    if (missing == 4) {
        return fail(ZVRIPC_ENOENT, "namespace \"%s\" does not exist", ns.c_str());
    }
    return rc;
}

}  // namespace zvripc
