// SPDX-License-Identifier: GPL-3.0-or-later
// Construction of the heartbeat table, and the multi-string lists the IPC library's
// enumerations return. Main thread only, before the worker threads exist.
#pragma once

#include "tavik/tavik.h"

// Multi-string lists: NUL-terminated entries closed by one more NUL. The functions read
// only, never past the closing double NUL, and return pointers into the list.
char *mszfirst(const char *mszptr);  // first entry, or null for the empty list
char *msznext(const char *mszptr);   // entry after this one, or null after the last
int mszsize(const char *mszptr);     // bytes, both closing NULs included
int mszstrn(const char *mszptr);     // number of entries

// Reads the heartbeat parameters, builds the table from the cluster's resources and
// nodes and the configuration, gives every pair its start-up state and publishes the
// states and statuses. On 0 the table's address is stored in *pphead and the caller owns
// it (free()); otherwise *pphead is unchanged and nothing stays allocated.
// Results: 5 allocation, 6 policy, 7 resource enumeration, 8 node enumeration,
// 11 own priority, 12 host name.
int loadinfo(tavik_list_head **pphead);
