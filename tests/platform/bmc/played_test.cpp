// SPDX-License-Identifier: GPL-3.0-or-later
// The standard driver's lease and peer watch against played BMC answers (fake_transport.h):
// which commands each status call sends for each reading of the timer, and what the peer
// watch reports for each answer or refusal of a peer's BMC. No BMC, no simulator.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "fake_transport.h"
#include "lease.h"
#include "peer_watch.h"
#include "preflight.h"

namespace {

using namespace std::chrono;
using tavik::test::FakeTransport;
using tavik::test::get_answer;
using tavik::test::ok;
using tavik::test::Played;

constexpr std::uint8_t kGet = 0x25, kSet = 0x24, kReset = 0x22;

// One status call (or access time-out call, when `access` is given): the answers played to
// it, its completion code, the commands it sent.
struct Call {
    std::uint8_t ctrl;
    std::deque<Played> answers;
    std::uint8_t cc;
    std::vector<std::uint8_t> sent;
    const char *why = "";  // part of the reason, when refused
    bool new_session = false;
    int access = -1;
    int rc = 0;
};

struct Story {
    const char *what;
    std::vector<Call> calls;
};

void play(const Story &story) {
    SCOPED_TRACE(story.what);
    FakeTransport bmc({});
    tavik::bmc::Lease lease(bmc);
    int n = 0;
    for (const Call &c : story.calls) {
        SCOPED_TRACE("call " + std::to_string(n++));
        if (c.new_session) {
            bmc.new_session();
        }
        bmc.play(c.answers);
        std::uint8_t cc = 0xee;
        std::string err;
        const int rc = c.access >= 0 ? lease.set_access_time(static_cast<std::uint16_t>(c.access), cc, err)
                                     : lease.set_status(c.ctrl, cc, err);
        EXPECT_EQ(rc, c.rc) << err;
        EXPECT_EQ(cc, c.cc) << err;
        EXPECT_NE(err.find(c.why), std::string::npos) << err;
        EXPECT_EQ(bmc.take_sent(), c.sent);
        EXPECT_EQ(bmc.left(), 0u) << "answers left unplayed";
    }
    EXPECT_EQ(bmc.unexpected(), "");
    for (const auto &r : bmc.requests()) {
        if (r[0] == kSet) {
            EXPECT_EQ(r.at(1) & 0x07, 5) << "only timer use OEM is ever set";
            EXPECT_EQ(r.at(2), 0) << "only action none is ever set";
        }
    }
}

const Played kNeverSet = get_answer(0x00, 0, 0, 0);
const Played kOurs = get_answer(0x45, 0, 100, 95);  // OEM, running, action none, 10 s

const Played kSmsOsOff = get_answer(0x04, 0, 3000, 3000);    // ipmitool mc watchdog off
const Played kSmsOsReset = get_answer(0x44, 1, 9000, 8990);  // SMS/OS, hard reset, running
const Call kTake = {0x01, {kNeverSet, ok(kSet), ok(kReset)}, 0, {kGet, kSet, kReset}};

TEST(PlayedLease, EveryWriteFollowsAReadingThatShowsTheTimerOurs) {
    const Story stories[] = {
        {"each renewal reads before its Reset", {kTake, {0x02, {kOurs, ok(kReset)}, 0, {kGet, kReset}}}},
        {"an SMS/OS timer running is left alone",
         {{0x01, {kSmsOsReset}, 0x7e, {kGet}, "in use as SMS/OS"},
          {0x02, {}, 0x7e, {}, "in use as SMS/OS"},
          {0x82, {kSmsOsReset}, 0, {kGet}}}},
        {"mc watchdog off between renewals ends the lease until the daemon takes it anew",
         {kTake,
          {0x02,
           {kSmsOsOff},
           0x7e,
           {kGet},
           "another program set the BMC watchdog (timer use SMS/OS, action none"},
          {0x02, {}, 0x7e, {}, "300.0 s, stopped"},
          {0x82, {kSmsOsOff}, 0, {kGet}},
          {0x01, {kSmsOsOff, ok(kSet), ok(kReset)}, 0, {kGet, kSet, kReset}}}},
        {"an SMS/OS hard-reset takeover mid-lease ends it; a new start is refused while it runs",
         {kTake,
          {0x02, {kSmsOsReset}, 0x7e, {kGet}, "timer use SMS/OS, action hard reset, 900.0 s, running"},
          {0x02, {}, 0x7e, {}},
          {0x01, {kSmsOsReset}, 0x7e, {kGet}, "in use as SMS/OS"}}},
        {"an OEM timer of another length is not ours",
         {kTake, {0x02, {get_answer(0x45, 0, 600, 500)}, 0x7e, {kGet}, "another program"}}},
        {"an access time-out taken while a foreign timer runs ends the lease",
         {kTake, {0, {kSmsOsReset}, 0x7e, {kGet}, "another program", false, 30}}},
        {"a BMC that restarted shows a timer never set: taken again",
         {kTake, {0x02, {kNeverSet, ok(kSet), ok(kReset)}, 0, {kGet, kSet, kReset}, "", true}}},
        {"a BMC that forgot the lease answers Reset with 0x80: taken again",
         {kTake,
          {0x02,
           {kOurs, {kReset, 0, 0x80, {}}, kNeverSet, ok(kSet), ok(kReset)},
           0,
           {kGet, kReset, kGet, kSet, kReset}}}},
        {"our own lapsed lease is started again",
         {kTake, {0x02, {get_answer(0x05, 0, 100, 0), ok(kReset)}, 0, {kGet, kReset}}}},
        {"a predecessor's running lease is taken over",
         {{0x01, {get_answer(0x45, 0, 300, 200), ok(kSet), ok(kReset)}, 0, {kGet, kSet, kReset}},
          {0x02, {kOurs, ok(kReset)}, 0, {kGet, kReset}}}},
        {"a new length is read, set and started at once",
         {kTake,
          {0, {kOurs, ok(kSet), ok(kReset)}, 0, {kGet, kSet, kReset}, "", false, 4},
          {0x02, {get_answer(0x45, 0, 40, 39), ok(kReset)}, 0, {kGet, kReset}}}},
        {"given back: stopped at one unit", {kTake, {0x82, {kOurs, ok(kSet)}, 0, {kGet, kSet}}}},
        {"a failed take is tried again at the next renewal",
         {{0x01,
           {{kGet, tavik::bmc::kExchangeFailed, 0, {}}},
           0,
           {kGet},
           "played failure",
           false,
           -1,
           tavik::bmc::kExchangeFailed},
          {0x02, {kNeverSet, ok(kSet), ok(kReset)}, 0, {kGet, kSet, kReset}}}},
    };
    for (const Story &s : stories) {
        play(s);
    }
}

std::uint32_t ip_of(const char *text) {
    std::uint32_t ip = 0;
    inet_pton(AF_INET, text, &ip);
    return ip;
}

TEST(PlayedPeerWatch, EachAnswerOfAPeersBmcGivesItsResultAndReason) {
    struct Case {
        const char *ip;
        std::deque<Played> answers;  // the last one repeats
        std::uint8_t status;         // BMC_HB_* once ready
        const char *why;
        const char *login_failure = nullptr;
        bool refused = false;
        unsigned min_logins = 1, max_logins = 1;  // in 1.3 s, a check period of 1/3 s
    };
    const Case cases[] = {
        {"127.0.3.1", {get_answer(0x45, 0, 40, 35)}, 3, "live lease"},
        {"127.0.3.2", {get_answer(0x44, 1, 6000, 5000)}, 1, "in use as SMS/OS"},
        {"127.0.3.3", {{kGet, 0, 0xd4, {}}}, 1, "refused Get Watchdog Timer (completion code 0xd4)"},
        {"127.0.3.4",
         {{kGet, tavik::bmc::kExchangeFailed, 0, {}}},
         0,
         "Get Watchdog Timer: played failure",
         nullptr,
         false,
         3,
         5},
        // A refused login waits one period, then two, four...: at 0, 1/3 and 1 s.
        {"127.0.3.5",
         {},
         0,
         "no session as 'hb': password invalid (refused: the next login in",
         "password invalid",
         true,
         2,
         3},
        // No answer is no refusal: tried again every period.
        {"127.0.3.6", {}, 0, "no session as 'hb': connection timeout", "connection timeout", false, 3, 5},
    };
    tavik::bmc::Config cfg;
    cfg.peer_user = "hb";
    cfg.peer_port = 1;  // nothing answers the presence pings there
    std::map<std::string, const Case *> by_host;
    std::map<std::string, std::atomic<unsigned>> logins;
    for (const Case &c : cases) {
        by_host[std::string(c.ip) + ":1"] = &c;
        logins[std::string(c.ip) + ":1"] = 0;
    }
    BMC_INFO_SET set[BMC_BLOCK_RECORDS] = {};
    BMC_INFO_GET got[BMC_BLOCK_RECORDS] = {};
    std::vector<tavik::bmc::PeerView> views;
    {
        tavik::bmc::PeerWatch watch(cfg, [&](const std::string &host, unsigned,
                                             tavik::bmc::OpenFailure &failure) {
            const Case *c = by_host.at(host);
            ++logins.at(host);
            if (c->login_failure != nullptr) {
                failure = {c->login_failure, c->refused};
                return std::unique_ptr<tavik::bmc::Transport>();
            }
            return std::unique_ptr<tavik::bmc::Transport>(std::make_unique<FakeTransport>(c->answers, true));
        });
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            set[i] = {ip_of(cases[i].ip), BMC_CTRL_START, 1, {0, 0}};
        }
        watch.program(1, set);
        std::this_thread::sleep_for(milliseconds(1300));  // past the targets' time-out of 1 s
        watch.results(1, got);
        views = watch.peers();
    }
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.ip);
        EXPECT_EQ(got[i].stat[0], 0) << "ready";
        EXPECT_EQ(got[i].stat[1], c.status);
        auto v = std::find_if(views.begin(), views.end(), [&](const auto &p) { return p.ip == set[i].ip; });
        ASSERT_NE(v, views.end());
        EXPECT_NE(v->why.find(c.why), std::string::npos) << v->why;
        const unsigned n = logins.at(std::string(c.ip) + ":1");
        EXPECT_GE(n, c.min_logins);
        EXPECT_LE(n, c.max_logins);
    }
}

// The preflight inside a session: each reading of the timer gives the lease source that
// would work, and only Get Session Info and Get Watchdog Timer are ever sent.
TEST(PlayedPreflight, EachTimerGivesItsLeaseSourceAndNothingIsWritten) {
    using tavik::bmc::LeaseSource;
    const Played slots = {0x3d, 0, 0, {0x07, 0x04, 0x03, 0x03, 0x02, 0x01}};  // 3 of 4, user 3 at user
    const Played no_slots = {0x3d, 0, 0xc1, {}};
    const struct {
        const char *what;
        std::deque<Played> answers;
        LeaseSource source;
        bool slots_read;
        const char *why;  // part of the failure, "" for none
    } cases[] = {
        {"never set", {slots, kNeverSet}, LeaseSource::Watchdog, true, ""},
        {"our live lease", {slots, kOurs}, LeaseSource::Watchdog, true, ""},
        {"ipmitool mc watchdog off", {slots, kSmsOsOff}, LeaseSource::Watchdog, true, ""},
        {"bmc-watchdog running", {slots, kSmsOsReset}, LeaseSource::Observe, true, ""},
        {"OEM with a hard reset", {slots, get_answer(0x45, 1, 600, 590)}, LeaseSource::Observe, true, ""},
        {"no Get Session Info", {no_slots, kOurs}, LeaseSource::Watchdog, false, ""},
        {"Get Watchdog refused",
         {slots, {kGet, 0, 0xd4, {}}},
         LeaseSource::None,
         true,
         "completion code 212"},
        {"Get Watchdog short", {slots, {kGet, 0, 0, {0x04}}}, LeaseSource::None, true, "1 data bytes"},
        {"no answer", {slots, {kGet, tavik::bmc::kExchangeFailed, 0, {}}}, LeaseSource::None, true, "played"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransport bmc(c.answers);
        tavik::bmc::Preflight out;
        tavik::bmc::read_in_session(bmc, out);
        EXPECT_EQ(out.workable, c.source);
        EXPECT_EQ(out.slots_read, c.slots_read);
        EXPECT_EQ(out.watchdog_read, c.source != LeaseSource::None);
        EXPECT_NE(out.why.find(c.why), std::string::npos) << out.why;
        EXPECT_EQ(out.why.empty(), *c.why == '\0') << out.why;
        EXPECT_EQ(bmc.take_sent(), (std::vector<std::uint8_t>{0x3d, kGet}));
        EXPECT_EQ(bmc.requests().front(), (std::vector<std::uint8_t>{0x3d, 0x00})) << "this session's info";
        if (c.slots_read) {
            EXPECT_EQ(std::vector<int>(
                          {out.slots.active, out.slots.maximum, out.slots.user_id, out.slots.privilege}),
                      std::vector<int>({3, 4, 3, 2}));
        }
    }
}

}  // namespace
