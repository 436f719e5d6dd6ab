// SPDX-License-Identifier: GPL-3.0-or-later
// The operations of zvripc.h: one process-wide attachment to one namespace, made part by
// part (semaphores, cluster-manager segment, node-manager segment) as the daemon
// attaches them. The namespace name is fixed by the first attach and kept while any part
// is attached. Thread safety: a process-local reader-writer lock keeps attach and detach
// away from operations in flight, so that no thread ever touches a mapping another one
// is removing; updates of shared data hold the segment's own robust lock. Every operation
// looks before and after its access whether a part shrank under the process: from then
// on the operations fail, and the handler the process set
// with ipc_set_lost_handler() hears of it once.
#include "zvripc.h"

#include <atomic>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "namespace.h"
#include "zvripc_admin.h"

namespace zvripc {

namespace {

struct Attachment {
    std::shared_mutex mutex;
    std::string name;  // the namespace while any part is attached
    SemPair sems;
    CmView cm;
    NmView nm;

    bool any() const { return sems.attached() || cm.attached() || nm.attached(); }
};

std::atomic<void (*)(const char *)> lost_handler{nullptr};
std::atomic<bool> lost_told{false};

// Never destroyed: a thread still calling in during exit must not find it gone.
Attachment &attachment() {
    static Attachment *instance = new Attachment;
    return *instance;
}

template <class Part>
int attach_part(Part Attachment::*part) {
    Attachment &a = attachment();
    std::unique_lock lock(a.mutex);
    if ((a.*part).attached()) {
        return ZVRIPC_OK;
    }
    std::string name = a.name;
    if (!a.any()) {
        if (int rc = resolve_name(nullptr, name)) {
            return rc;
        }
    }
    if (int rc = (a.*part).open(name)) {
        return rc;
    }
    a.name = name;
    return ZVRIPC_OK;
}

template <class Part>
int detach_part(Part Attachment::*part) {
    Attachment &a = attachment();
    std::unique_lock lock(a.mutex);
    (a.*part).reset();
    if (!a.any()) {
        a.name.clear();
        lost_told = false;  // a new attachment is told of its own loss
    }
    return ZVRIPC_OK;
}

int not_attached(const char *what) {
    return fail(ZVRIPC_ENOTATTACHED, "the %s is not attached", what);
}

// ZVRIPC_OK, or the failure of the first attached part that changed under the process.
int intact(const Attachment &a) {
    int rc = ZVRIPC_OK;
    if (a.sems.attached()) {
        rc = a.sems.intact();
    }
    if (rc == ZVRIPC_OK && a.cm.attached()) {
        rc = a.cm.intact();
    }
    if (rc == ZVRIPC_OK && a.nm.attached()) {
        rc = a.nm.intact();
    }
    if (rc != ZVRIPC_OK && !lost_told.exchange(true)) {
        if (auto *handler = lost_handler.load()) {
            handler(last_error());
        }
    }
    return rc;
}

// Runs body() under the shared lock, when `part` is attached and nothing changed
// under the process before or during it.
template <class Part, class Body>
int with_part(const Part Attachment::*which, const char *part, Body &&body) {
    Attachment &a = attachment();
    std::shared_lock lock(a.mutex);
    if (!(a.*which).attached()) {
        return not_attached(part);
    }
    if (int rc = intact(a)) {
        return rc;
    }
    int rc = body();
    if (int lost = intact(a)) {
        return lost;
    }
    return rc;
}

template <class Body>
int with_nm(Body &&body) {
    Attachment &a = attachment();
    return with_part(&Attachment::nm, "node-manager segment", [&] { return body(a.nm); });
}

template <class Body>
int with_cm(Body &&body) {
    Attachment &a = attachment();
    return with_part(&Attachment::cm, "cluster-manager segment", [&] { return body(a.cm); });
}

}  // namespace

}  // namespace zvripc

using namespace zvripc;

// The declarations in zvripc.h carry no exception specification and must stay as they
// are, so these definitions cannot say noexcept; each body is one call of guarded(),
// which is noexcept and maps any exception to ZVRIPC_EINTERNAL.
extern "C" {

ZVRIPC_EXPORT int sem_attach(void) {
    return guarded([] { return attach_part(&Attachment::sems); });
}

ZVRIPC_EXPORT int sem_detach(void) {
    return guarded([] { return detach_part(&Attachment::sems); });
}

ZVRIPC_EXPORT int shmcm_attach(void) {
    return guarded([] { return attach_part(&Attachment::cm); });
}

ZVRIPC_EXPORT int shmcm_detach(void) {
    return guarded([] { return detach_part(&Attachment::cm); });
}

ZVRIPC_EXPORT int shmnm_attach(void) {
    return guarded([] {
        int rc = attach_part(&Attachment::nm);
        if (rc == ZVRIPC_OK) {
            with_nm([](NmView &nm) {
                claim_daemon(nm.liveness());
                return ZVRIPC_OK;
            });
        }
        return rc;
    });
}

ZVRIPC_EXPORT int shmnm_detach(void) {
    return guarded([] {
        with_nm([](NmView &nm) {
            release_daemon(nm.liveness());
            return ZVRIPC_OK;
        });
        return detach_part(&Attachment::nm);
    });
}

ZVRIPC_EXPORT int shmnm_getwaitstat(int *waitstat) {
    return guarded([&] { return with_nm([&](NmView &nm) { return nm.get_waitstat(waitstat); }); });
}

ZVRIPC_EXPORT int sem_wait_downnotify(int flags) {
    return guarded([&] {
        if (flags != 0) {
            return fail(ZVRIPC_EARG, "flags %d: only 0 (do not wait) is defined", flags);
        }
        Attachment &a = attachment();
        return with_part(&Attachment::sems, "semaphore pair", [&] { return a.sems.try_downnotify(); });
    });
}

ZVRIPC_EXPORT int sem_set_statchange(void) {
    return guarded([] {
        Attachment &a = attachment();
        return with_part(&Attachment::sems, "semaphore pair", [&] {
            if (!a.nm.attached()) {
                return not_attached("node-manager segment (it holds the change counter)");
            }
            // Counter first: whoever the post wakes finds the new count.
            a.nm.advance_changes();
            return a.sems.post_statchange();
        });
    });
}

ZVRIPC_EXPORT int shmcm_getaction(int *act, char acttype[32], int flags) {
    return guarded([&] {
        if (act == nullptr || flags != 0) {
            return fail(ZVRIPC_EARG, "null action pointer or flags %d other than 0", flags);
        }
        return with_cm([&](CmView &cm) { return cm.get_action(act, acttype); });
    });
}

ZVRIPC_EXPORT int shmcm_getratio(int *ratio, int *period) {
    return guarded([&] {
        if (ratio == nullptr) {
            return fail(ZVRIPC_EARG, "null ratio pointer");
        }
        return with_cm([&](CmView &cm) {
            // The watch thread reads the ratio on every scan: its stamp says it still cycles.
            if (Attachment &a = attachment(); a.nm.attached()) {
                stamp_ratio_read(a.nm.liveness());
            }
            return cm.get_ratio(ratio, period);
        });
    });
}

ZVRIPC_EXPORT int shmnm_enumrsc(const char *type, char *buf, int *size) {
    return guarded([&] { return with_nm([&](NmView &nm) { return nm.enum_rsc(type, buf, size); }); });
}

ZVRIPC_EXPORT int shmnm_enumnode(char *buf, int *size) {
    return guarded([&] { return with_nm([&](NmView &nm) { return nm.enum_node(buf, size); }); });
}

ZVRIPC_EXPORT int shmnm_getnodepri(const char *node, int *pri) {
    return guarded([&] { return with_nm([&](NmView &nm) { return nm.node_priority(node, pri); }); });
}

ZVRIPC_EXPORT int shmnm_getrscpri(const char *type, const char *rsc, int *pri) {
    return guarded([&] { return with_nm([&](NmView &nm) { return nm.rsc_priority(type, rsc, pri); }); });
}

ZVRIPC_EXPORT int shmnm_getrscsvstat(const char *type, const char *rsc, int nodeid, int *stat) {
    return guarded([&] {
        return with_nm([&](NmView &nm) {
            // The check thread reads the published state at every receipt.
            stamp_state_read(nm.liveness());
            return nm.get_state(type, rsc, nodeid, stat);
        });
    });
}

ZVRIPC_EXPORT int shmnm_setrscsvstat(const char *type, const char *rsc, int nodeid, int stat) {
    return guarded(
        [&] { return with_nm([&](NmView &nm) { return nm.set_state(type, rsc, nodeid, stat); }); });
}

ZVRIPC_EXPORT int shmnm_setrscstat(const char *type, const char *rsc, int stat) {
    return guarded([&] { return with_nm([&](NmView &nm) { return nm.set_status(type, rsc, stat); }); });
}

ZVRIPC_EXPORT void ipc_set_lost_handler(void (*handler)(const char *why)) noexcept {
    lost_handler.store(handler);
}

}  // extern "C"
