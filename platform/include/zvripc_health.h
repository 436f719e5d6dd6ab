/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * zvripc_health: whether a daemon is attached to a namespace and still working, as
 * libzvripc sees it from the daemon's own calls, and what its supervisor and the
 * operators did to it.
 *
 * The process that attaches the node-manager segment through zvripc.h is recorded as
 * the namespace's daemon (pid and start time), unless a live daemon is recorded already
 * and the caller is not a child of the recorded supervisor. Its calls of
 * shmcm_getratio() (the watch thread, every scan) and shmnm_getrscsvstat() (the check
 * thread, at every receipt) stamp the calling thread's slot with both clocks. The
 * supervisor (`tavikctl run`) records its child, restarts and exits with
 * ipc_set_supervisor(); `tavikctl set` records manual changes with ipc_audit().
 * None of this takes the segment's lock.
 */
#ifndef TAVIK_PLATFORM_ZVRIPC_HEALTH_H
#define TAVIK_PLATFORM_ZVRIPC_HEALTH_H

#include "zvripc_admin.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZVRIPC_THREAD_SLOTS 8
#define ZVRIPC_AUDIT_RECORDS 8
#define ZVRIPC_AUDIT_TEXT 32

/* Supervisor phases. */
#define ZVRIPC_SUPERVISOR_STARTING 1 /* the child runs, not yet ready */
#define ZVRIPC_SUPERVISOR_RUNNING 2  /* the child signalled readiness */
#define ZVRIPC_SUPERVISOR_BACKOFF 3  /* the child ended; a restart is due */
#define ZVRIPC_SUPERVISOR_STOPPED 4  /* the supervisor ended (or gave up) */

typedef struct zvripc_thread_stamp {
    int pid; /* 0: unused slot */
    int tid;
    unsigned long long ratio_reads;
    unsigned long long state_reads;
    long long ratio_mono_ns; /* 0 until the first read */
    long long ratio_wall_ns;
    long long state_mono_ns;
    long long state_wall_ns;
} zvripc_thread_stamp;

typedef struct zvripc_supervisor {
    int pid; /* 0: no supervisor ever recorded */
    int child_pid;
    unsigned long long start_ticks; /* of pid; filled in by ipc_set_supervisor */
    unsigned long long child_start_ticks;
    int phase;
    int restarts;
    int last_exit; /* exit status, 128 + signal; -1 when the child never ended */
    long long started_wall_ns;
    long long last_exit_wall_ns;
    long long updated_wall_ns; /* filled in by ipc_set_supervisor */
    long long updated_mono_ns;
} zvripc_supervisor;

typedef struct zvripc_audit {
    long long wall_ns;
    unsigned int uid;
    int pid;
    char what[ZVRIPC_AUDIT_TEXT];
    char from[ZVRIPC_AUDIT_TEXT];
    char to[ZVRIPC_AUDIT_TEXT];
} zvripc_audit;

typedef struct zvripc_liveness {
    int daemon_pid; /* 0: no daemon ever attached */
    int daemon_detached;
    unsigned long long daemon_start_ticks;
    long long attach_wall_ns;
    long long attach_mono_ns;
    long long detach_wall_ns;
    long long detach_mono_ns;
    zvripc_thread_stamp threads[ZVRIPC_THREAD_SLOTS];
    zvripc_supervisor supervisor;
    unsigned long long audit_count;
    int audit_kept; /* entries of audit, newest first */
    zvripc_audit audit[ZVRIPC_AUDIT_RECORDS];
    long long taken_wall_ns;
    long long taken_mono_ns;
} zvripc_liveness;

/* Copies the liveness block of the namespace. */
int ipc_liveness(const zvripc_handle *handle, zvripc_liveness *out) ZVRIPC_NOEXCEPT;

/* Stores the supervisor's record (the start ticks and update times are filled in). */
int ipc_set_supervisor(zvripc_handle *handle, const zvripc_supervisor *record) ZVRIPC_NOEXCEPT;

/* Appends a manual change, with the caller's uid and pid and the time; texts longer than
 * ZVRIPC_AUDIT_TEXT - 1 bytes are cut. */
int ipc_audit(zvripc_handle *handle, const char *what, const char *from, const char *to) ZVRIPC_NOEXCEPT;

/* The start time of process pid in clock ticks after boot (field 22 of /proc/PID/stat),
 * and its one-letter state (R, S, D, T, t, Z, ...) when state is not null. 0 when the
 * process does not exist. */
unsigned long long ipc_process_start_ticks(int pid, char *state) ZVRIPC_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
