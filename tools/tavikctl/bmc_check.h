// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl bmc check`: before a node joins, a look at the local BMC and every peer's BMC
// of the configuration as the hosts will reach them (driver = standard), each judged
// against what this cluster needs of it. The judging rules are plain functions here, so
// that they are tested without a BMC; bmc_check.cpp gathers the looks and prints them.
// Runs on tavikctl's single thread.
#pragma once

#include <string>
#include <vector>

#include "zvrbmc_admin.h"

namespace tavikctl::bmc_check {

enum class Verdict { Ok, Warning, Error };

// What was learnt of one BMC.
struct Looked {
    std::string node;
    std::string address;
    bool own = false;
    zvrbmc_preflight look{};
    // Own BMC only: the daemon's own session (the access file's user, in-band or over LAN).
    bool local_ok = true;
    std::string local_why;
};

struct Judgement {
    Verdict verdict = Verdict::Ok;
    std::vector<std::string> findings;  // why it is not ok, the worst first
};

// Sessions every BMC must hold for a cluster of `nodes`: one per watching host, one for
// its own host's lease over LAN, one for a tool such as `bmc targets` or this check.
unsigned sessions_needed(unsigned nodes);

Judgement judge(const Looked &l, unsigned nodes);

// 0 every BMC ok, 1 warnings only, 2 a node cannot join.
int exit_status(const std::vector<Judgement> &all);

const char *verdict_name(Verdict v);
// A lease source (BMC_LEASE_*) as bmc.conf spells it: "watchdog", "observe", "none".
const char *source_name(unsigned source);

}  // namespace tavikctl::bmc_check
