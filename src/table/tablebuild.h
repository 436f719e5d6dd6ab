// SPDX-License-Identifier: GPL-3.0-or-later
// The phases of table construction that loadinfo strings together, and the few system
// calls it makes, gathered so that tests can make them fail. Not part of the daemon's
// interface: only src/table and the tests include this.
//
// Thread safety: main thread only, before the worker threads exist; tests replace
// tablesys only while no table is being built.
#pragma once

#include <cstddef>

#include "tavik/tavik.h"

// The heartbeat parameters that go into the table's header. The initial values are the
// defaults taken when a key cannot be read.
struct HbParams {
    int maxnode = 32;  // servers (logged only)
    int maxrsc = 128;  // heartbeat resources (logged only)
    int hbto = 90000;  // time-out, ms
    int hbint = 3000;  // interval, ms
};

// Reads policies "all", "nm" and "tavik" in turn (one loaded at a time) into hp and into
// the process-wide warnrate and thstacksz, defaulting and correcting each value and
// logging every failure and correction. 0, or 6 when a policy cannot be loaded (the
// keys of that policy and of later ones are then not read).
int readparams(HbParams &hp);

// Gives every node of every active resource of a filled table its start-up state,
// publishes the states and every resource's status, and signals the cluster once when a
// resumed start changed a state the cluster held. myname is the own host name, cut at
// its first dot. Failures are logged; the phase always completes.
void initstates(tavik_list_head *plist, const char *myname);

// The system calls of table construction. The table is obtained with calloc and handed
// out to be freed with free(); enumeration buffers and abandoned tables go back
// through release.
struct TableSys {
    void *(*calloc)(std::size_t count, std::size_t size);
    void (*release)(void *p);
    int (*gethostname)(char *name, std::size_t len);
};
extern TableSys tablesys;
// The real calls, for tests to restore.
extern const TableSys tablesys_default;
