// SPDX-License-Identifier: GPL-3.0-or-later
// What a BMC must offer before a node joins (bmc_check.h). No state: any thread.
#include <algorithm>

#include "bmc_check.h"

namespace tavikctl::bmc_check {
namespace {

struct Findings {
    Judgement j;
    void error(const std::string &text) {
        j.findings.insert(j.findings.begin() + errors_, text);
        ++errors_;
        j.verdict = Verdict::Error;
    }
    void warn(const std::string &text) {
        j.findings.push_back(text);
        j.verdict = std::max(j.verdict, Verdict::Warning);
    }
    std::ptrdiff_t errors_ = 0;
};

void judge_slots(const zvrbmc_preflight &p, unsigned nodes, Findings &f) {
    if (!p.slots_read) {
        f.warn("Get Session Info not answered: its session slots are unknown (" +
               std::to_string(sessions_needed(nodes)) + " needed)");
        return;
    }
    const std::string have = "it holds " + std::to_string(p.sessions_max) + " sessions";
    if (p.sessions_max < nodes) {
        f.error(have + ", fewer than the " + std::to_string(nodes) + " hosts that watch it");
    } else if (p.sessions_max < sessions_needed(nodes)) {
        f.warn(have + ", " + std::to_string(sessions_needed(nodes)) + " needed (" + std::to_string(nodes) +
               " hosts, the own host's lease, a tool)");
    }
    if (p.sessions_active >= p.sessions_max) {
        f.warn("every session slot is taken (" + std::to_string(p.sessions_active) + " active)");
    }
}

void judge_lease(const zvrbmc_preflight &p, Findings &f) {
    if (p.lease_expected == p.lease_workable || p.lease_expected == BMC_LEASE_NONE) {
        return;
    }
    const std::string told = std::string(p.watchdog.why) + ": lease = " + source_name(p.lease_expected) +
                             " cannot work there, " + source_name(p.lease_workable) + " would";
    if (p.lease_expected == BMC_LEASE_OBSERVE && p.lease_workable == BMC_LEASE_WATCHDOG) {
        f.warn(
            std::string("no other program runs the watchdog yet: lease = observe sees the host dead until "
                        "one does"));
        return;
    }
    f.error(told);
}

}  // namespace

unsigned sessions_needed(unsigned nodes) {
    return nodes + 2;
}

Judgement judge(const Looked &l, unsigned nodes) {
    Findings f;
    const zvrbmc_preflight &p = l.look;
    if (l.own && !l.local_ok) {
        f.error("the daemon's own session fails: " + l.local_why);
    }
    if (p.why[0] != '\0') {
        f.error(p.why);
    }
    if (p.login) {
        judge_slots(p, nodes, f);
    }
    if (p.watchdog_read) {
        judge_lease(p, f);
    }
    if (p.login && !p.suites_listed && p.suite_note[0] != '\0') {
        f.warn(p.suite_note);
    }
    return f.j;
}

int exit_status(const std::vector<Judgement> &all) {
    Verdict worst = Verdict::Ok;
    for (const Judgement &j : all) {
        worst = std::max(worst, j.verdict);
    }
    return static_cast<int>(worst);
}

const char *verdict_name(Verdict v) {
    switch (v) {
        case Verdict::Ok:
            return "ok";
        case Verdict::Warning:
            return "warning";
        case Verdict::Error:
            break;
    }
    return "cannot join";
}

const char *source_name(unsigned source) {
    switch (source) {
        case BMC_LEASE_WATCHDOG:
            return "watchdog";
        case BMC_LEASE_OBSERVE:
            return "observe";
        default:
            return "none";
    }
}

}  // namespace tavikctl::bmc_check
