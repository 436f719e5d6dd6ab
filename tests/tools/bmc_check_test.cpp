// SPDX-License-Identifier: GPL-3.0-or-later
// What `tavikctl bmc check` makes of a look at one BMC: its verdict and the finding that
// says why, for a three-node cluster (five sessions needed). Pure computation.
#include "bmc_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using tavikctl::bmc_check::judge;
using tavikctl::bmc_check::Looked;
using tavikctl::bmc_check::Verdict;

// A BMC that answered everything: 3 of 63 sessions, a free timer, the watchdog expected.
Looked ready() {
    Looked l;
    l.node = "node2";
    l.address = "127.0.1.2";
    zvrbmc_preflight &p = l.look;
    p.pong = p.capabilities = p.suites_listed = p.suite_agreed = p.login = p.slots_read = p.watchdog_read = 1;
    p.suite = 3;
    p.sessions_active = 3;
    p.sessions_max = 63;
    p.privilege = 2;
    p.lease_workable = p.lease_expected = BMC_LEASE_WATCHDOG;
    return l;
}

template <class F>
Looked with(F change) {
    Looked l = ready();
    change(l);
    return l;
}

void why(zvrbmc_preflight &p, const char *text) {
    std::snprintf(p.why, sizeof p.why, "%s", text);
}

TEST(BmcCheck, EachLookGetsItsVerdictAndReason) {
    const struct {
        const char *what;
        Looked looked;
        Verdict verdict;
        const char *first;  // part of the first finding; "" for none
    } cases[] = {
        {"ready", ready(), Verdict::Ok, ""},
        {"nothing answers", with([](Looked &l) {
             l.look = zvrbmc_preflight{};
             why(l.look, "no answer to a presence ping");
         }),
         Verdict::Error, "no answer"},
        {"user refused", with([](Looked &l) {
             l.look.login = l.look.slots_read = l.look.watchdog_read = 0;
             l.look.login_refused = 1;
             l.look.lease_workable = BMC_LEASE_NONE;
             why(l.look, "no session as 'tavikpeer': username invalid");
         }),
         Verdict::Error, "username invalid"},
        {"another program's timer", with([](Looked &l) {
             l.look.lease_workable = BMC_LEASE_OBSERVE;
             std::snprintf(l.look.watchdog.why, sizeof l.look.watchdog.why,
                           "the BMC watchdog is in use as SMS/OS");
         }),
         Verdict::Error, "in use as SMS/OS: lease = watchdog cannot work there, observe would"},
        {"observe expected, timer free", with([](Looked &l) { l.look.lease_expected = BMC_LEASE_OBSERVE; }),
         Verdict::Warning, "no other program runs the watchdog"},
        {"no lease expected", with([](Looked &l) {
             l.look.lease_expected = BMC_LEASE_NONE;
             l.look.lease_workable = BMC_LEASE_OBSERVE;
         }),
         Verdict::Ok, ""},
        {"fewer slots than hosts", with([](Looked &l) { l.look.sessions_max = 2; }), Verdict::Error,
         "holds 2 sessions, fewer than the 3 hosts"},
        {"room for the hosts only", with([](Looked &l) { l.look.sessions_max = 4; }), Verdict::Warning,
         "holds 4 sessions, 5 needed"},
        {"every slot taken", with([](Looked &l) { l.look.sessions_active = 63; }), Verdict::Warning,
         "every session slot is taken"},
        {"slots unknown", with([](Looked &l) { l.look.slots_read = 0; }), Verdict::Warning,
         "slots are unknown (5 needed)"},
        {"suites not listed", with([](Looked &l) {
             l.look.suites_listed = 0;
             std::snprintf(l.look.suite_note, sizeof l.look.suite_note, "no answer; cipher suite 3 tried");
         }),
         Verdict::Warning, "cipher suite 3 tried"},
        {"own session fails, LAN fine", with([](Looked &l) {
             l.own = true;
             l.local_ok = false;
             l.local_why = "password invalid";
         }),
         Verdict::Error, "the daemon's own session fails: password invalid"},
        {"an error before a warning", with([](Looked &l) {
             l.look.sessions_max = 4;
             l.own = true;
             l.local_ok = false;
         }),
         Verdict::Error, "own session fails"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto j = judge(c.looked, 3);
        EXPECT_EQ(j.verdict, c.verdict);
        ASSERT_EQ(j.findings.empty(), *c.first == '\0');
        if (!j.findings.empty()) {
            EXPECT_NE(j.findings.front().find(c.first), std::string::npos) << j.findings.front();
        }
    }
}

TEST(BmcCheck, TheWorstVerdictIsTheExitStatus) {
    using J = tavikctl::bmc_check::Judgement;
    using tavikctl::bmc_check::exit_status;
    EXPECT_EQ(exit_status({}), 0);
    EXPECT_EQ(exit_status({J{Verdict::Ok, {}}, J{Verdict::Ok, {}}}), 0);
    EXPECT_EQ(exit_status({J{Verdict::Ok, {}}, J{Verdict::Warning, {"w"}}}), 1);
    EXPECT_EQ(exit_status({J{Verdict::Error, {"e"}}, J{Verdict::Warning, {"w"}}, J{Verdict::Ok, {}}}), 2);
}

}  // namespace
