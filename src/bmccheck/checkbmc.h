// SPDX-License-Identifier: GPL-3.0-or-later
// The BMC check thread: programs the local BMC with the peer targets, polls it for their
// heartbeat results and hands them to hbdata.
#pragma once

#include "tavik/tavik.h"

void *hbcheckbmc(void *parg);
void checkbmcthexit(void *parg);
