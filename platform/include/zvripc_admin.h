/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * zvripc_admin: creating, removing, inspecting and steering one IPC namespace of
 * libzvripc. The daemon uses only zvripc.h and attaches to what exists; tavikctl and the
 * tests use this header to build a namespace from the cluster layout, read a consistent
 * snapshot of it and change what the cluster side would change (ratio, action, wait
 * status, states, the down-notify semaphore).
 *
 * Every function returns 0 (ZVRIPC_OK) on success or one of the ZVRIPC_E* codes below;
 * the operations of zvripc.h return the same codes. After a failure,
 * ipc_last_error() describes it, naming the object and value at fault.
 *
 * Thread safety: every function may be called from several threads at once. A handle
 * may be shared between threads, except that ipc_close() must not race with other calls
 * on the same handle. Snapshots are plain memory owned by the caller.
 */
#ifndef TAVIK_PLATFORM_ZVRIPC_ADMIN_H
#define TAVIK_PLATFORM_ZVRIPC_ADMIN_H

#ifdef __cplusplus
#define ZVRIPC_NOEXCEPT noexcept
extern "C" {
#else
#define ZVRIPC_NOEXCEPT
#endif

/* Result codes. */
#define ZVRIPC_OK 0
#define ZVRIPC_ENOTATTACHED 1 /* the part of the namespace the call needs is not attached */
#define ZVRIPC_EARG 2         /* a null pointer, a bad value or a bad namespace name */
#define ZVRIPC_ENOTFOUND 3    /* no such resource (type, name) or node (name or id) */
#define ZVRIPC_ESIZE 4        /* the buffer is smaller than the list; *size holds the need */
#define ZVRIPC_ENOENT 5       /* the namespace (or one of its objects) does not exist */
#define ZVRIPC_EBADSEG 6      /* magic, version, sizes or counts of a segment do not match */
#define ZVRIPC_EEXIST 7       /* creating: an object of the namespace exists already */
#define ZVRIPC_ESYS 8         /* a system call failed; ipc_last_error() gives errno */
#define ZVRIPC_ELOCK 9        /* the segment's lock cannot be taken */
#define ZVRIPC_EAGAIN 10      /* sem_wait_downnotify: the semaphore was not given */
#define ZVRIPC_ESTALE 11      /* ipc_check: the namespace was removed or replaced */
#define ZVRIPC_EINTERNAL 12   /* unexpected failure inside the library (out of memory) */
#define ZVRIPC_EPERM 13       /* another user owns an object, or others may write it */

/* The namespace used when TAVIK_IPC_NAME is unset or empty. */
#define ZVRIPC_DEFAULT_NAME "tavik"
/* Longest namespace name, in bytes. Names use letters, digits, '_', '-' and '.', and do
 * not begin with '.'. */
#define ZVRIPC_NAME_MAX 200
/* Longest node name and resource type and name, in bytes without the NUL. A resource
 * name is kept to 31 bytes because the daemon stores and looks it up that way. */
#define ZVRIPC_NODE_NAME_MAX 255
#define ZVRIPC_RSC_TYPE_MAX 31
#define ZVRIPC_RSC_NAME_MAX 31
#define ZVRIPC_ACTTYPE_MAX 31
/* Most nodes and resources one namespace holds. */
#define ZVRIPC_MAX_NODES 1024
#define ZVRIPC_MAX_RESOURCES 1024
/* Change times kept per state and per status for questions about a recent window: the
 * latest ZVRIPC_HISTORY_RECENT changes; older ones are only counted. */
#define ZVRIPC_HISTORY_RECENT 16

/* Copies the namespace this process uses by default (TAVIK_IPC_NAME, or "tavik") into
 * buf. ZVRIPC_EARG when the variable holds an invalid name, ZVRIPC_ESIZE when buf is
 * too small (ZVRIPC_NAME_MAX + 1 is always enough). */
int ipc_default_name(char *buf, int size) ZVRIPC_NOEXCEPT;

/* 0 when name is a valid namespace name; ZVRIPC_EARG (with the reason) otherwise. */
int ipc_valid_name(const char *name) ZVRIPC_NOEXCEPT;

/* Describes the last failure of a call into the library on this thread. The text stays
 * valid until the next call into the library on this thread; never null. */
const char *ipc_last_error(void) ZVRIPC_NOEXCEPT;

/* A short text for a result code ("no such namespace", ...); never null. */
const char *ipc_strerror(int result) ZVRIPC_NOEXCEPT;

typedef struct zvripc_node_def {
    const char *name; /* 1..ZVRIPC_NODE_NAME_MAX bytes, unique */
    int priority;     /* the node id: >= 0 and unique */
} zvripc_node_def;

typedef struct zvripc_rsc_def {
    const char *type; /* 1..ZVRIPC_RSC_TYPE_MAX bytes, such as "tavik" */
    const char *name; /* 1..ZVRIPC_RSC_NAME_MAX bytes; (type, name) unique */
    int priority;     /* >= 0 */
} zvripc_rsc_def;

typedef struct zvripc_create_opts {
    int replace; /* non-zero: remove an existing namespace of that name first */
    int gid;     /* -1: owner only (mode 0600); else this group may read and write (0660) */
} zvripc_create_opts;

/* Creates the namespace `name` (null: the default name): the status-change and
 * down-notify semaphores (value 0), the cluster-manager segment (action 0, empty action
 * type, ratio 1, period 0) and the node-manager segment holding the nodes and resources
 * in the order given, every state and status 9 (unknown), wait status 0, change counter
 * 0. Every object is created exclusively with the mode of opts (null: owner only,
 * nothing replaced). ZVRIPC_EEXIST when an object of the namespace exists and
 * opts->replace is 0; ZVRIPC_EARG for an invalid, duplicate or too long definition.
 * On failure nothing that this call created is left behind. Counts may be 0. */
int ipc_create(const char *name, const zvripc_node_def *nodes, int node_count,
               const zvripc_rsc_def *resources, int rsc_count,
               const zvripc_create_opts *opts) ZVRIPC_NOEXCEPT;

/* Removes every object of the namespace `name` (null: the default name). Processes that
 * are attached keep their mappings until they detach. ZVRIPC_ENOENT when none of them
 * existed; on another failure it still removes what it can. */
int ipc_destroy(const char *name) ZVRIPC_NOEXCEPT;

/* The layout of the segments this library makes and attaches. A namespace made by an
 * older tavik carries an older layout: the attach operations of zvripc.h and ipc_open
 * refuse it (ZVRIPC_EBADSEG), ipc_open_readonly reads it as this layout would hold it,
 * and ipc_migrate brings it to this layout. */
int ipc_layout_version(void) ZVRIPC_NOEXCEPT;

/* Brings the namespace `name` (null: the default name) to this library's layout, keeping
 * every state, status, history, the wait status, the action, ratio and period, the
 * change counter and the group; what the older layout lacked starts empty, with an
 * audit record ("migrate", "layout N", "layout M") saying so. Each segment is copied
 * under its lock and replaced whole by a new object renamed over it, so that a crash
 * leaves each one old or new, never mixed; processes that still map an old segment
 * find the namespace replaced (ipc_check: ZVRIPC_ESTALE). *from_layout (may be null)
 * receives the oldest layout found: ipc_layout_version() when there was nothing to do.
 * ZVRIPC_EBADSEG, changing nothing, for a layout newer than this library's or one it
 * cannot migrate; ZVRIPC_ENOENT when a segment does not exist. */
int ipc_migrate(const char *name, int *from_layout) ZVRIPC_NOEXCEPT;

/* What ipc_reconfigure carried over from the namespace it replaced. */
typedef struct zvripc_carried {
    int nodes_kept, nodes_new, nodes_dropped; /* matched by name */
    int rscs_kept, rscs_new, rscs_dropped;    /* matched by (type, name) */
} zvripc_carried;

/* Replaces the node-manager segment of the existing namespace `name` with one of these
 * nodes and resources (checked as ipc_create checks them), carrying over by name every
 * state of a (resource, node) pair and every status that still exists, with its history,
 * and the wait status, change counter, creation time, liveness record and audit ring;
 * what is new starts as ipc_create starts it. The old segment is copied under its lock
 * and the new one renamed over it, so that processes attached to the old one find the
 * namespace replaced (ipc_check: ZVRIPC_ESTALE); the cluster-manager segment, the
 * semaphores, the mode and the group stay. An older layout is migrated first.
 * *carried (may be null) says what was kept. */
int ipc_reconfigure(const char *name, const zvripc_node_def *nodes, int node_count,
                    const zvripc_rsc_def *resources, int rsc_count, zvripc_carried *carried) ZVRIPC_NOEXCEPT;

/* An open namespace: all four objects, checked as the attach operations check them. */
typedef struct zvripc_handle zvripc_handle;

/* Opens the namespace `name` (null: the default name). ZVRIPC_ENOENT when it does not
 * exist (or only part of it does), ZVRIPC_EBADSEG when a segment is refused. */
int ipc_open(const char *name, zvripc_handle **handle) ZVRIPC_NOEXCEPT;
/* Opens the namespace `name` read-only, for a reader that must not be able to change
 * it (an exporter facing the network): the two segments are mapped without write
 * access and the semaphores are not opened. ipc_snapshot and ipc_liveness work without
 * taking the segments' locks (they copy until two copies agree); every call that writes
 * returns ZVRIPC_EPERM. */
int ipc_open_readonly(const char *name, zvripc_handle **handle) ZVRIPC_NOEXCEPT;
/* Closes a handle; null is allowed. */
void ipc_close(zvripc_handle *handle) ZVRIPC_NOEXCEPT;
/* The namespace name of a handle; valid while the handle is open. */
const char *ipc_handle_name(const zvripc_handle *handle) ZVRIPC_NOEXCEPT;
/* The layout the namespace of a handle was found in: ipc_layout_version(), or an older
 * one for a read-only handle that reads a namespace an older tavik made (a copy taken at
 * ipc_open_readonly: open again to see later changes; nothing about the daemon's
 * liveness was recorded there). */
int ipc_handle_layout(const zvripc_handle *handle) ZVRIPC_NOEXCEPT;
/* 0 while the segments the handle maps are still the ones under its name;
 * ZVRIPC_ESTALE once the namespace has been removed or replaced. */
int ipc_check(const zvripc_handle *handle) ZVRIPC_NOEXCEPT;

typedef struct zvripc_snap_node {
    char name[ZVRIPC_NODE_NAME_MAX + 1];
    int priority;
} zvripc_snap_node;

typedef struct zvripc_snap_rsc {
    char type[ZVRIPC_RSC_TYPE_MAX + 1];
    char name[ZVRIPC_RSC_NAME_MAX + 1];
    int priority;
    int status;
} zvripc_snap_rsc;

/* The history of one state or one status since the namespace was created. The library
 * records it on every write that changes the value, from the daemon
 * (shmnm_setrscsvstat, shmnm_setrscstat) and from ipc_set_state / ipc_set_status alike;
 * a write of the value already held is not a change. Times are in nanoseconds:
 * CLOCK_REALTIME since the epoch ("wall") and CLOCK_MONOTONIC ("mono", what durations
 * are measured with). */
typedef struct zvripc_history {
    unsigned long long changes; /* changes since the namespace was created */
    long long last_wall_ns;     /* time of the last change; 0 when there was none */
    long long last_mono_ns;     /* the same on the monotonic clock; 0 when there was none */
    int recent_count;           /* valid entries of recent_mono_ns: changes, at most
                                   ZVRIPC_HISTORY_RECENT */
    int reserved;
    long long recent_mono_ns[ZVRIPC_HISTORY_RECENT]; /* monotonic times of the latest
                                                        changes, newest first */
} zvripc_history;

/* A copy of the whole namespace, each segment read under its lock. */
typedef struct zvripc_snapshot {
    char name[ZVRIPC_NAME_MAX + 1];
    int node_count;
    int rsc_count;
    const zvripc_snap_node *nodes;    /* node_count entries, in creation order */
    const zvripc_snap_rsc *resources; /* rsc_count entries, in creation order */
    const int *states;                /* states[r * node_count + n]: resource r on node n */
    int waitstat;
    int action;
    char acttype[ZVRIPC_ACTTYPE_MAX + 1];
    int ratio;
    int period;
    unsigned long long changes;           /* the change counter */
    unsigned long long recoveries;        /* locks taken over from a holder that died */
    unsigned int mode;                    /* permission bits of the node-manager segment */
    const zvripc_history *state_history;  /* like states: [r * node_count + n] */
    const zvripc_history *status_history; /* rsc_count entries, one per resource */
    long long created_wall_ns;            /* when the namespace was created (ipc_create) */
    long long created_mono_ns;
    long long taken_wall_ns; /* when this snapshot was taken, for durations */
    long long taken_mono_ns;
} zvripc_snapshot;

/* Takes a snapshot; free it with ipc_snapshot_free (null is allowed there). */
int ipc_snapshot(zvripc_handle *handle, zvripc_snapshot **snapshot) ZVRIPC_NOEXCEPT;
void ipc_snapshot_free(zvripc_snapshot *snapshot) ZVRIPC_NOEXCEPT;

/* How many of the changes recorded in *history happened at or after mono_ns
 * (CLOCK_MONOTONIC, nanoseconds). Only the latest ZVRIPC_HISTORY_RECENT change times are
 * kept, so ZVRIPC_HISTORY_RECENT means "at least that many". 0 for a null history. */
int ipc_history_changes_since(const zvripc_history *history, long long mono_ns) ZVRIPC_NOEXCEPT;

/* Reads the change counter without taking the lock. */
int ipc_changes(const zvripc_handle *handle, unsigned long long *changes) ZVRIPC_NOEXCEPT;

/* ratio >= 1, period >= 0; both stored under one lock. */
int ipc_set_ratio(zvripc_handle *handle, int ratio, int period) ZVRIPC_NOEXCEPT;
/* acttype: null keeps the stored action type; at most ZVRIPC_ACTTYPE_MAX bytes. */
int ipc_set_action(zvripc_handle *handle, int action, const char *acttype) ZVRIPC_NOEXCEPT;
/* waitstat 0 or 1. */
int ipc_set_waitstat(zvripc_handle *handle, int waitstat) ZVRIPC_NOEXCEPT;
/* The state of resource (type, rsc) on node nodeid: 1, 2, 9 or 15. */
int ipc_set_state(zvripc_handle *handle, const char *type, const char *rsc, int nodeid,
                  int state) ZVRIPC_NOEXCEPT;
/* The status of resource (type, rsc): 0, 3, 4, 9 or 15. */
int ipc_set_status(zvripc_handle *handle, const char *type, const char *rsc, int status) ZVRIPC_NOEXCEPT;
/* Advances the change counter and posts the status-change semaphore, as
 * sem_set_statchange() does. */
int ipc_statchange(zvripc_handle *handle) ZVRIPC_NOEXCEPT;
/* Posts the down-notify semaphore. */
int ipc_post_downnotify(zvripc_handle *handle) ZVRIPC_NOEXCEPT;

/* A part of a namespace can change under a process that has it open: a process that
 * may write it can truncate or rewrite it. The library never lets that end the process
 * with SIGBUS: the pages lost are replaced by private zero-filled memory, and from then
 * on every call on that part (of zvripc.h, or of a handle) returns ZVRIPC_EBADSEG with
 * ipc_last_error() saying what changed. For the process-wide attachment of zvripc.h,
 * `handler` (null: none) is called once, on the thread whose call found the change
 * first, with the same text, before that call returns: the daemon stops there. The
 * handler must not call into this library. */
void ipc_set_lost_handler(void (*handler)(const char *why)) ZVRIPC_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
