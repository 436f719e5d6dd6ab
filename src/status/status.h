// SPDX-License-Identifier: GPL-3.0-or-later
// Status reporting: resource status aggregation, heartbeat receipt with its delay
// warning, and the timeout watch thread.
//
// On a running table every node-state change and the recomputation that follows it
// happen with tablemutex held: the check thread holds it across its match pass (and so
// around hbdata), hbcheck takes it across its scan.
#pragma once

#include <ctime>

#include "rules/timeout.h"
#include "tavik/tavik.h"

// Derives resource prsc's status from its node entries, stores and publishes it.
// Always 0.
int setrscstat(tavik_list_head *plist, tavik_list_rsc *prsc);

// Turns the BMC's status byte for one (resource, node) pair into its heartbeat state.
// Check thread only, with tablemutex held. Always 0.
int hbdata(tavik_list_head *plist, tavik_list_rsc *prsc, tavik_list_node *pnode, int bmcstat);

// Raises event msgid when the interval between two heartbeats reached the warning rate
// of the effective time-out. Always 0.
int delaywarn(const char *rscname, const char *svname, clock_t lastcl, clock_t curcl, int hbto, int msgid);

// The effective time-out of hbto milliseconds under the cluster's current ratio, in
// seconds and in ticks (both saturating at 2147483647). Its failure to read the ratio is logged under op,
// the operation that asked (its caller by default).
using EffectiveTimeout = rules::EffectiveTimeout;
EffectiveTimeout effectivetimeout(int hbto, const char *op = __builtin_FUNCTION());

// The timeout watch thread, one scan of it, and its clean-up.
void *hbwatch(void *parg);
int hbcheck(tavik_list_head *plist);
void watchthexit(void *parg);
