// SPDX-License-Identifier: GPL-3.0-or-later
// The operations of zvripc_admin.h: creating and removing namespaces, and handles that
// open all four objects of a namespace independently of the process-wide attachment of
// zvripc.h (so that tavikctl and the tests can look at several namespaces, and a handle
// never disturbs what the daemon attached). Thread safety: a handle's views take the
// segments' locks themselves; nothing else here is shared.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "handle.h"
#include "migrate.h"
#include "namespace.h"
#include "zvripc_admin.h"

namespace {

using namespace zvripc;

int null_handle() {
    return fail(ZVRIPC_EARG, "null handle");
}

std::size_t round8(std::size_t n) {
    return (n + 7) & ~static_cast<std::size_t>(7);
}

// The segment's ring, oldest slot first, becomes the caller's list, newest first.
void copy_history(const HistoryRecord &from, zvripc_history &to) {
    to.changes = from.count;
    to.last_wall_ns = from.last_wall_ns;
    to.last_mono_ns = from.last_mono_ns;
    const std::uint64_t kept = std::min<std::uint64_t>(from.count, kHistoryRecent);
    to.recent_count = static_cast<int>(kept);
    for (std::uint64_t i = 0; i < kept; ++i) {
        to.recent_mono_ns[i] = from.recent_mono_ns[(from.count - 1 - i) % kHistoryRecent];
    }
}

int take_snapshot(zvripc_handle *handle, zvripc_snapshot **snapshot) {
    *snapshot = nullptr;
    std::size_t nodes = handle->nm.node_count();
    std::size_t rscs = handle->nm.rsc_count();
    // One block, so that the snapshot is freed with one call from C as well.
    std::size_t nodes_at = round8(sizeof(zvripc_snapshot));
    std::size_t rscs_at = round8(nodes_at + nodes * sizeof(zvripc_snap_node));
    std::size_t states_at = round8(rscs_at + rscs * sizeof(zvripc_snap_rsc));
    std::size_t statuses_at = round8(states_at + rscs * nodes * sizeof(int));
    std::size_t state_history_at = round8(statuses_at + rscs * sizeof(int) + sizeof(int));
    std::size_t status_history_at = state_history_at + rscs * nodes * sizeof(zvripc_history);
    std::size_t total = status_history_at + rscs * sizeof(zvripc_history);
    auto *block = static_cast<char *>(std::calloc(1, total));
    if (block == nullptr) {
        return fail(ZVRIPC_EINTERNAL, "cannot allocate a snapshot of %zu bytes", total);
    }
    auto *snap = reinterpret_cast<zvripc_snapshot *>(block);
    auto *snap_nodes = reinterpret_cast<zvripc_snap_node *>(block + nodes_at);
    auto *snap_rscs = reinterpret_cast<zvripc_snap_rsc *>(block + rscs_at);
    auto *states = reinterpret_cast<int *>(block + states_at);
    auto *statuses = reinterpret_cast<int *>(block + statuses_at);
    auto *state_history = reinterpret_cast<zvripc_history *>(block + state_history_at);
    auto *status_history = reinterpret_cast<zvripc_history *>(block + status_history_at);
    std::unique_ptr<char, decltype(&std::free)> owner(block, &std::free);
    std::vector<HistoryRecord> raw_state_history(rscs * nodes);
    std::vector<HistoryRecord> raw_status_history(rscs);
    std::memcpy(snap->name, handle->name.c_str(), handle->name.size() + 1);
    snap->node_count = static_cast<int>(nodes);
    snap->rsc_count = static_cast<int>(rscs);
    snap->nodes = snap_nodes;
    snap->resources = snap_rscs;
    snap->states = states;
    snap->state_history = state_history;
    snap->status_history = status_history;
    for (std::size_t i = 0; i < nodes; ++i) {
        const NodeEntry &n = handle->nm.node(static_cast<std::uint32_t>(i));
        std::memcpy(snap_nodes[i].name, n.name.c_str(), n.name.size() + 1);
        snap_nodes[i].priority = n.priority;
    }
    for (std::size_t i = 0; i < rscs; ++i) {
        const RscEntry &r = handle->nm.rsc(static_cast<std::uint32_t>(i));
        std::memcpy(snap_rscs[i].type, r.type.c_str(), r.type.size() + 1);
        std::memcpy(snap_rscs[i].name, r.name.c_str(), r.name.size() + 1);
        snap_rscs[i].priority = r.priority;
    }
    std::uint64_t changes = 0;
    std::uint64_t nm_recoveries = 0;
    std::uint64_t cm_recoveries = 0;
    int rc = handle->nm.read_all(statuses, states, raw_status_history.data(), raw_state_history.data(),
                                 &snap->waitstat, &changes, &nm_recoveries);
    if (rc == ZVRIPC_OK) {
        rc = handle->cm.read_all(&snap->action, snap->acttype, &snap->ratio, &snap->period, &cm_recoveries);
    }
    if (rc != ZVRIPC_OK) {
        return rc;
    }
    const Stamp taken = stamp_now();
    for (std::size_t i = 0; i < rscs; ++i) {
        snap_rscs[i].status = statuses[i];
        copy_history(raw_status_history[i], status_history[i]);
    }
    for (std::size_t i = 0; i < rscs * nodes; ++i) {
        copy_history(raw_state_history[i], state_history[i]);
    }
    const Stamp created = handle->nm.created();
    snap->created_wall_ns = created.wall;
    snap->created_mono_ns = created.mono;
    snap->taken_wall_ns = taken.wall;
    snap->taken_mono_ns = taken.mono;
    snap->changes = changes;
    snap->recoveries = nm_recoveries + cm_recoveries;
    snap->mode = handle->nm.mode();
    *snapshot = snap;
    (void)owner.release();
    return ZVRIPC_OK;
}

int open_handle(const char *name, zvripc_handle **handle, bool writable) {
    if (handle == nullptr) {
        return fail(ZVRIPC_EARG, "null handle pointer");
    }
    *handle = nullptr;
    auto h = std::make_unique<zvripc_handle>();
    if (int rc = resolve_name(name, h->name)) {
        return rc;
    }
    // The node-manager segment first: it is made last, so when it is there and
    // whole, the rest of the namespace is too (or was removed by hand).
    if (int rc = h->nm.open(h->name, writable)) {
        return rc;
    }
    if (int rc = h->cm.open(h->name, writable)) {
        return rc;
    }
    if (writable) {
        if (int rc = h->sems.open(h->name)) {
            return rc;
        }
    }
    *handle = h.release();
    return ZVRIPC_OK;
}

}  // namespace

extern "C" {

ZVRIPC_EXPORT int ipc_default_name(char *buf, int size) noexcept {
    return guarded([&] {
        std::string name;
        if (int rc = resolve_name(nullptr, name)) {
            return rc;
        }
        if (buf == nullptr || size < 0 || static_cast<std::size_t>(size) <= name.size()) {
            return fail(ZVRIPC_ESIZE, "a buffer of %d bytes cannot hold \"%s\"", size, name.c_str());
        }
        std::memcpy(buf, name.c_str(), name.size() + 1);
        return ZVRIPC_OK;
    });
}

ZVRIPC_EXPORT int ipc_valid_name(const char *name) noexcept {
    return guarded([&] {
        std::string ns;
        return name != nullptr ? resolve_name(name, ns) : fail(ZVRIPC_EARG, "null namespace name");
    });
}

ZVRIPC_EXPORT const char *ipc_last_error(void) noexcept {
    return last_error();
}

ZVRIPC_EXPORT const char *ipc_strerror(int result) noexcept {
    switch (result) {
        case ZVRIPC_OK:
            return "success";
        case ZVRIPC_ENOTATTACHED:
            return "not attached";
        case ZVRIPC_EARG:
            return "invalid argument";
        case ZVRIPC_ENOTFOUND:
            return "no such resource or node";
        case ZVRIPC_ESIZE:
            return "buffer too small";
        case ZVRIPC_ENOENT:
            return "no such namespace";
        case ZVRIPC_EBADSEG:
            return "segment refused";
        case ZVRIPC_EEXIST:
            return "namespace exists already";
        case ZVRIPC_ESYS:
            return "system call failed";
        case ZVRIPC_ELOCK:
            return "segment lock unavailable";
        case ZVRIPC_EAGAIN:
            return "semaphore not given";
        case ZVRIPC_ESTALE:
            return "namespace removed or replaced";
        case ZVRIPC_EINTERNAL:
            return "internal failure";
        case ZVRIPC_EPERM:
            return "object not trusted";
        default:
            return "unknown result";
    }
}

ZVRIPC_EXPORT int ipc_create(const char *name, const zvripc_node_def *nodes, int node_count,
                             const zvripc_rsc_def *resources, int rsc_count,
                             const zvripc_create_opts *opts) noexcept {
    return guarded([&] {
        std::string ns;
        if (int rc = resolve_name(name, ns)) {
            return rc;
        }
        zvripc_create_opts defaults{0, -1};
        return create_namespace(ns, nodes, node_count, resources, rsc_count, opts ? *opts : defaults);
    });
}

ZVRIPC_EXPORT int ipc_destroy(const char *name) noexcept {
    return guarded([&] {
        std::string ns;
        if (int rc = resolve_name(name, ns)) {
            return rc;
        }
        return destroy_namespace(ns);
    });
}

ZVRIPC_EXPORT int ipc_layout_version(void) noexcept {
    return static_cast<int>(kVersion);
}

ZVRIPC_EXPORT int ipc_migrate(const char *name, int *from_layout) noexcept {
    return guarded([&] {
        std::string ns;
        if (int rc = resolve_name(name, ns)) {
            return rc;
        }
        int from = 0;
        int rc = migrate_namespace(ns, &from);
        if (rc == ZVRIPC_OK && from_layout != nullptr) {
            *from_layout = from;
        }
        return rc;
    });
}

ZVRIPC_EXPORT int ipc_reconfigure(const char *name, const zvripc_node_def *nodes, int node_count,
                                  const zvripc_rsc_def *resources, int rsc_count,
                                  zvripc_carried *carried) noexcept {
    return guarded([&] {
        std::string ns;
        if (int rc = resolve_name(name, ns)) {
            return rc;
        }
        return reconfigure_namespace(ns, nodes, node_count, resources, rsc_count, carried);
    });
}

ZVRIPC_EXPORT int ipc_handle_layout(const zvripc_handle *handle) noexcept {
    if (handle == nullptr) {
        return 0;
    }
    return static_cast<int>(std::min(handle->nm.layout(), handle->cm.layout()));
}

ZVRIPC_EXPORT int ipc_open(const char *name, zvripc_handle **handle) noexcept {
    return guarded([&] { return open_handle(name, handle, true); });
}

ZVRIPC_EXPORT int ipc_open_readonly(const char *name, zvripc_handle **handle) noexcept {
    return guarded([&] { return open_handle(name, handle, false); });
}

ZVRIPC_EXPORT void ipc_close(zvripc_handle *handle) noexcept {
    delete handle;
}

ZVRIPC_EXPORT const char *ipc_handle_name(const zvripc_handle *handle) noexcept {
    return handle != nullptr ? handle->name.c_str() : "";
}

ZVRIPC_EXPORT int ipc_check(const zvripc_handle *handle) noexcept {
    return guarded([&] {
        if (handle == nullptr) {
            return null_handle();
        }
        if (!handle->nm.current() || !handle->cm.current()) {
            return fail(ZVRIPC_ESTALE, "namespace \"%s\" was removed or replaced", handle->name.c_str());
        }
        return ZVRIPC_OK;
    });
}

ZVRIPC_EXPORT int ipc_snapshot(zvripc_handle *handle, zvripc_snapshot **snapshot) noexcept {
    return guarded([&] {
        if (handle == nullptr || snapshot == nullptr) {
            return fail(ZVRIPC_EARG, "null handle or snapshot pointer");
        }
        int rc = on_handle(handle, false, [&](zvripc_handle &) { return take_snapshot(handle, snapshot); });
        if (rc != ZVRIPC_OK) {  // a segment that shrank during the copy: the copy is worth nothing
            std::free(*snapshot);
            *snapshot = nullptr;
        }
        return rc;
    });
}

ZVRIPC_EXPORT void ipc_snapshot_free(zvripc_snapshot *snapshot) noexcept {
    std::free(snapshot);
}

ZVRIPC_EXPORT int ipc_history_changes_since(const zvripc_history *history, long long mono_ns) noexcept {
    if (history == nullptr) {
        return 0;
    }
    // Newest first: the first time before mono_ns ends the count.
    int count = 0;
    const int kept = std::min(std::max(history->recent_count, 0), ZVRIPC_HISTORY_RECENT);
    while (count < kept && history->recent_mono_ns[count] >= mono_ns) {
        ++count;
    }
    return count;
}

ZVRIPC_EXPORT int ipc_changes(const zvripc_handle *handle, unsigned long long *changes) noexcept {
    return guarded([&] {
        if (handle == nullptr || changes == nullptr) {
            return fail(ZVRIPC_EARG, "null handle or result pointer");
        }
        return on_handle(const_cast<zvripc_handle *>(handle), false, [&](zvripc_handle &h) {
            *changes = h.nm.changes();
            return ZVRIPC_OK;
        });
    });
}

ZVRIPC_EXPORT int ipc_set_ratio(zvripc_handle *handle, int ratio, int period) noexcept {
    return guarded([&] {
        return on_handle(handle, true, [&](zvripc_handle &h) { return h.cm.set_ratio(ratio, period); });
    });
}

ZVRIPC_EXPORT int ipc_set_action(zvripc_handle *handle, int action, const char *acttype) noexcept {
    return guarded([&] {
        return on_handle(handle, true, [&](zvripc_handle &h) { return h.cm.set_action(action, acttype); });
    });
}

ZVRIPC_EXPORT int ipc_set_waitstat(zvripc_handle *handle, int waitstat) noexcept {
    return guarded([&] {
        return on_handle(handle, true, [&](zvripc_handle &h) { return h.nm.set_waitstat(waitstat); });
    });
}

ZVRIPC_EXPORT int ipc_set_state(zvripc_handle *handle, const char *type, const char *rsc, int nodeid,
                                int state) noexcept {
    return guarded([&] {
        return on_handle(handle, true,
                         [&](zvripc_handle &h) { return h.nm.set_state(type, rsc, nodeid, state); });
    });
}

ZVRIPC_EXPORT int ipc_set_status(zvripc_handle *handle, const char *type, const char *rsc,
                                 int status) noexcept {
    return guarded([&] {
        return on_handle(handle, true, [&](zvripc_handle &h) { return h.nm.set_status(type, rsc, status); });
    });
}

ZVRIPC_EXPORT int ipc_statchange(zvripc_handle *handle) noexcept {
    return guarded([&] {
        return on_handle(handle, true, [](zvripc_handle &h) {
            h.nm.advance_changes();
            return h.sems.post_statchange();
        });
    });
}

ZVRIPC_EXPORT int ipc_post_downnotify(zvripc_handle *handle) noexcept {
    return guarded(
        [&] { return on_handle(handle, true, [](zvripc_handle &h) { return h.sems.post_downnotify(); }); });
}

}  // extern "C"
