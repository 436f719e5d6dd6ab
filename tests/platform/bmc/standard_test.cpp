// SPDX-License-Identifier: GPL-3.0-or-later
// The standard driver's pure parts: the watchdog lease's rules, the access file's peer
// keys, and the presence ping's packets. Single-threaded; no simulator.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <tuple>

#include "cipher_suites.h"
#include "config.h"
#include "lease_judge.h"
#include "peer_watch.h"
#include "presence.h"
#include "watchdog.h"

namespace {

namespace wdt = tavik::bmc::wdt;

wdt::State reading(std::uint8_t use, bool running, std::uint8_t action, std::uint16_t initial,
                   std::uint16_t present) {
    wdt::State s;
    s.use = use;
    s.running = running;
    s.action = action;
    s.initial_ds = initial;
    s.present_ds = present;
    return s;
}

TEST(WatchdogLease, WhoseTimerAndWhetherLive) {
    struct Case {
        const char *what;
        wdt::State s;
        bool ours, live;
        const char *busy;  // in_use_reason, "" when free
    };
    const Case cases[] = {
        {"our lease running", reading(5, true, 0, 40, 35), true, true, ""},
        // One reading cannot tell a wrong running bit from a hard reset that stopped the timer
        // without reloading it: LeaseJudge decides over several.
        {"our lease stopped mid-count", reading(5, false, 0, 40, 35), true, false, ""},
        {"our lease given back (stopped at one unit)", reading(5, false, 0, 1, 1), true, false, ""},
        {"our lease lapsed", reading(5, false, 0, 40, 0), true, false, ""},
        {"never set", reading(0, false, 0, 0, 0), false, false, ""},
        {"SMS/OS running", reading(4, true, 1, 6000, 5000), false, false, "in use as SMS/OS"},
        {"SMS/OS counting, running bit wrong", reading(4, false, 0, 100, 50), false, false,
         "in use as SMS/OS"},
        {"SMS/OS stopped (a driver left it)", reading(4, false, 1, 100, 100), false, false, ""},
        {"OEM with a reset action", reading(5, true, 1, 100, 90), false, false, "OEM with a timeout action"},
        {"BIOS FRB2 running", reading(1, true, 1, 100, 90), false, false, "in use as BIOS FRB2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(wdt::ours(c.s), c.ours);
        EXPECT_EQ(wdt::live(c.s), c.live);
        const std::string busy = wdt::in_use_reason(c.s);
        if (*c.busy == '\0') {
            EXPECT_EQ(busy, "");
        } else {
            EXPECT_NE(busy.find(c.busy), std::string::npos) << busy;
        }
    }
}

TEST(WatchdogLease, JudgedOverSuccessiveReadings) {
    using tavik::bmc::LeaseJudge;
    struct Read {
        int at_ms;
        wdt::State s;
        bool live;  // just after this reading
    };
    struct Case {
        const char *what;
        bool flagged;  // the BMC configured as having a wrong running bit
        std::vector<Read> reads;
        bool bit_wrong;  // found or configured by the end
    };
    const wdt::State running35 = reading(5, true, 0, 40, 35), stopped35 = reading(5, false, 0, 40, 35);
    const Case cases[] = {
        {"the running bit says it: a hard reset that stops the timer ends the lease at once",
         false,
         {{0, running35, true},
          {333, reading(5, true, 0, 40, 32), true},
          {666, reading(5, false, 0, 40, 30), false}},
         false},
        {"one reading just after a Reset, not yet moving, is not a lapse; a second is",
         false,
         {{0, running35, true},
          {333, reading(5, false, 0, 40, 40), true},
          {666, reading(5, false, 0, 40, 40), false}},
         false},
        {"a lease given back is no lease at once",
         false,
         {{0, running35, true}, {333, reading(5, false, 0, 1, 1), false}},
         false},
        {"somebody else's timer is no lease", false, {{0, reading(4, true, 1, 40, 35), false}}, false},
        {"a countdown moving while the bit says stopped: judged by the countdown from then on",
         false,
         {{0, stopped35, false},
          {333, reading(5, false, 0, 40, 32), false},  // found: the last verdict holds once
          {666, reading(5, false, 0, 40, 40), true},   // renewed
          {999, reading(5, false, 0, 40, 37), true},
          {1332, reading(5, false, 0, 40, 37), true},  // one still reading may be a renewal's coincidence
          {1665, reading(5, false, 0, 40, 37), false}},
         true},
        {"flagged: still readings close together do not decide yet",
         true,
         {{0, stopped35, false},
          {100, reading(5, false, 0, 40, 34), true},
          {200, reading(5, false, 0, 40, 34), true},
          {300, reading(5, false, 0, 40, 34), true},
          {400, reading(5, false, 0, 40, 34), false}},
         true},
        {"flagged: a lapsed countdown is no lease",
         true,
         {{0, stopped35, false}, {333, reading(5, false, 0, 40, 0), false}},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LeaseJudge judge(c.flagged);
        const auto t0 = LeaseJudge::Clock::now();
        for (const Read &r : c.reads) {
            const auto at = t0 + std::chrono::milliseconds(r.at_ms);
            judge.reading(r.s, at);
            EXPECT_EQ(judge.live(at + std::chrono::milliseconds(1)), r.live)
                << "reading at " << r.at_ms << " ms";
        }
        EXPECT_EQ(judge.running_bit_wrong(), c.bit_wrong);
    }
    // A live reading holds only for the countdown it showed.
    LeaseJudge judge;
    const auto t0 = LeaseJudge::Clock::now();
    judge.reading(reading(5, true, 0, 40, 5), t0);
    EXPECT_TRUE(judge.live(t0 + std::chrono::milliseconds(400)));
    EXPECT_FALSE(judge.live(t0 + std::chrono::milliseconds(600)));
}

// lease = observe: another program's timer tells the host alive while it is seen petted.
TEST(WatchdogLease, ObservedOwnersPetsTellTheHostAlive) {
    using tavik::bmc::LeaseJudge;
    using tavik::bmc::LeaseSource;
    struct Read {
        int at_ms;
        wdt::State s;
        bool live;  // just after this reading
    };
    struct Case {
        const char *what;
        LeaseSource expect;
        std::vector<Read> reads;
    };
    auto sms = [](std::uint16_t initial, std::uint16_t present, bool running = true) {
        return reading(4, running, 1, initial, present);
    };
    const Case cases[] = {
        {"petted: alive; the pets stop: lapsed once twice the longest interval has passed",
         LeaseSource::Observe,
         {{0, sms(300, 280), false},  // running, but no pet seen yet
          {1000, sms(300, 270), false},
          {2000, sms(300, 300), true},  // a pet: the interval is at least 3 s + 1 s
          {6000, sms(300, 260), true},
          {10500, sms(300, 215), false}}},
        {"a running timer never seen petted",
         LeaseSource::Observe,
         {{0, sms(300, 280), false}, {1000, sms(300, 270), false}, {2000, sms(300, 260), false}}},
        {"a stopped timer: nobody pets it (a host dead before its owner started, or switched off)",
         LeaseSource::Observe,
         {{0, sms(300, 300, false), false},
          {1000, sms(300, 300, false), false},
          {2000, reading(0, 0, 0, 0, 0), false}}},
        {"a new Set is a pet (ipmi_watchdog's on panic); the interval learnt still bounds it",
         LeaseSource::Observe,
         {{0, sms(300, 280), false},
          {1000, sms(300, 300), true},
          {2000, sms(2550, 2550), true},
          {7000, sms(2550, 2500), true},
          {8000, sms(2550, 2480), false}}},
        {"another owner takes over: what was learnt of the last one is forgotten",
         LeaseSource::Observe,
         {{0, sms(300, 280), false},
          {1000, sms(300, 300), true},
          {2000, reading(3, true, 1, 300, 290), false}}},
        {"tavik's own lease on the timer is judged as a lease",
         LeaseSource::Observe,
         {{0, reading(5, true, 0, 40, 35), true}, {333, reading(5, false, 0, 40, 30), false}}},
        {"expected a lease of tavik's: another program's petted timer is a clash, not a lease",
         LeaseSource::Watchdog,
         {{0, sms(300, 280), false}, {1000, sms(300, 300), false}, {2000, sms(300, 290), false}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LeaseJudge judge(false, c.expect);
        const auto t0 = LeaseJudge::Clock::now();
        for (const Read &r : c.reads) {
            const auto at = t0 + std::chrono::milliseconds(r.at_ms);
            judge.reading(r.s, at);
            EXPECT_EQ(judge.live(at + std::chrono::milliseconds(1)), r.live)
                << "reading at " << r.at_ms << " ms: " << judge.why();
        }
    }
    // A new session forgets the readings, not the interval: the BMC's countdown tells how
    // long ago the last pet was.
    LeaseJudge judge(false, LeaseSource::Observe);
    const auto t0 = LeaseJudge::Clock::now();
    judge.reading(sms(300, 280), t0);
    judge.reading(sms(300, 300), t0 + std::chrono::seconds(1));
    judge.forget();
    judge.reading(sms(300, 250), t0 + std::chrono::seconds(9));
    EXPECT_TRUE(judge.live(t0 + std::chrono::seconds(9)));
    EXPECT_FALSE(judge.live(t0 + std::chrono::seconds(13)));
}

TEST(WatchdogLease, BytesOfSetAndGet) {
    EXPECT_EQ(wdt::set_request(65530, false),
              (std::vector<std::uint8_t>{0x05, 0x00, 0x00, 0x20, 0xfa, 0xff}));
    EXPECT_EQ(wdt::set_request(40, true), (std::vector<std::uint8_t>{0x45, 0x00, 0x00, 0x20, 40, 0}));
    wdt::State s;
    std::string err;
    ASSERT_TRUE(wdt::decode_get({0x44, 0x01, 0x00, 0x10, 0x70, 0x17, 0x10, 0x17}, s, err)) << err;
    EXPECT_EQ(s.use, 4);
    EXPECT_TRUE(s.running);
    EXPECT_EQ(s.action, 1);
    EXPECT_EQ(s.expired_flags, 0x10);
    EXPECT_EQ(s.initial_ds, 6000);
    EXPECT_EQ(s.present_ds, 5904);
    // A stock ipmi_sim answers two bytes short: the present countdown is missing.
    EXPECT_FALSE(wdt::decode_get({0x44, 0x01, 0x00, 0x10, 0x70, 0x17}, s, err));
    EXPECT_NE(err.find("6 data bytes, expected 8"), std::string::npos) << err;
}

TEST(WatchdogLease, CheckPeriodIsAThirdOfTheTimeOutAtMostOneSecond) {
    const std::pair<unsigned, unsigned> cases[] = {{0, 333}, {1, 333}, {2, 666}, {3, 1000}, {255, 1000}};
    for (auto [timeout_s, period] : cases) {
        EXPECT_EQ(tavik::bmc::check_period_ms(timeout_s), period) << timeout_s;
    }
}

TEST(StandardConfig, PeerKeysAndWhereTheLocalBmcIs) {
    struct Case {
        const char *text;
        const char *error;  // nullptr: accepted
        bool lan;
    };
    const Case cases[] = {
        {"driver = standard\npeer_user = hb\npeer_password_file = peer.pw\n", nullptr, false},
        {"driver = standard\nhost = 127.0.1.1\nuser = op\npassword_file = pw\npeer_user = hb\n"
         "peer_password_file = /p\npeer_port = 9001\npeer_running_bit_wrong = 10.0.0.3, 10.0.0.4\n",
         nullptr, true},
        {"driver = standard\npeer_password_file = p\n", "driver = standard needs key 'peer_user'", false},
        {"driver = standard\npeer_user = hb\n", "driver = standard needs key 'peer_password_file'", false},
        {"driver = standard\nhost = h\npeer_user = hb\npeer_password_file = p\n",
         "driver = standard with a host needs key 'user'", false},
        {"driver = lan\nhost = h\nuser = u\npassword_file = p\npeer_user = hb\n",
         "key 'peer_user' needs driver = standard", false},
        {"driver = standard\npeer_user = hb\npeer_password_file = p\npeer_port = 0\n",
         "bad value '0' for peer_port", false},
        {"driver = standard\npeer_user = hb\npeer_password_file = p\npeer_running_bit_wrong = 10.0.0.3 x\n",
         "bad value '10.0.0.3 x' for peer_running_bit_wrong", false},
        {"driver = lan\nhost = h\nuser = u\npassword_file = p\npeer_running_bit_wrong = 10.0.0.3\n",
         "key 'peer_running_bit_wrong' needs driver = standard", false},
        {"driver = standard\npeer_user = 12345678901234567\npeer_password_file = p\n", "bad value", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        tavik::bmc::Config cfg;
        std::string err;
        const bool ok = tavik::bmc::parse_config(c.text, "/etc/tavik/bmc.conf", cfg, err);
        if (c.error == nullptr) {
            ASSERT_TRUE(ok) << err;
            EXPECT_EQ(cfg.driver, tavik::bmc::Driver::Standard);
            EXPECT_EQ(cfg.lan(), c.lan);
            EXPECT_EQ(cfg.peer_user, "hb");
            EXPECT_EQ(cfg.peer_password_file[0], '/');
            EXPECT_EQ(cfg.peer_port, c.lan ? 9001 : 623);
            EXPECT_EQ(cfg.peer_running_bit_wrong.size(), c.lan ? 2u : 0u);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_NE(err.find(c.error), std::string::npos) << err;
        }
    }
}

TEST(StandardConfig, PeerSectionsAndLeaseSources) {
    using tavik::bmc::LeaseSource;
    const std::string head = "driver = standard\npeer_user = hb\npeer_password_file = peer.pw\n";
    tavik::bmc::Config cfg;
    std::string err;
    ASSERT_TRUE(
        tavik::bmc::parse_config(head + "lease = observe\nworkarounds = opensesspriv,sun20\n"
                                        "[peer 10.0.0.3]\nport = 624\nuser = other\npassword_file = o.pw\n"
                                        "cipher_suite = 17\nworkarounds = none\nlease = none\n"
                                        "[ peer 10.0.0.4 ]\nlease = watchdog\n",
                                 "/etc/tavik/bmc.conf", cfg, err))
        << err;
    auto ip = [](unsigned last) { return htonl(0x0a000000u | last); };
    const auto p3 = cfg.peer(ip(3)), p4 = cfg.peer(ip(4)), p5 = cfg.peer(ip(5));
    EXPECT_EQ(cfg.lease, LeaseSource::Observe);
    EXPECT_EQ(
        std::make_tuple(p3.port, p3.user, p3.password_file, int(p3.cipher_suite), p3.workarounds, p3.lease),
        std::make_tuple(624, std::string("other"), std::string("/etc/tavik/o.pw"), 17, 0u,
                        LeaseSource::None));
    EXPECT_EQ(std::make_tuple(p4.port, p4.user, p4.password_file, p4.workarounds, p4.lease),
              std::make_tuple(623, std::string("hb"), std::string("/etc/tavik/peer.pw"), 0x18u,
                              LeaseSource::Watchdog));
    EXPECT_EQ(p5.lease, LeaseSource::Observe);
    EXPECT_EQ(tavik::bmc::workarounds_text(p4.workarounds), "sun20,opensesspriv");

    struct Bad {
        const char *text;
        const char *error;  // the path, the line and the value or key
    };
    const Bad bad[] = {
        {"[peer 10.0.0.3]\nlease = sometimes\n",
         "/etc/tavik/bmc.conf: line 5: bad value 'sometimes' for lease in section '[peer 10.0.0.3]' "
         "(expected "
         "watchdog, observe or none)"},
        {"lease = maybe\n", "/etc/tavik/bmc.conf: line 4: bad value 'maybe' for lease (expected watchdog"},
        {"[peer 10.0.0.3]\ncolour = red\n", "line 5: unknown key 'colour' in section '[peer 10.0.0.3]'"},
        {"[peer bmc3.example]\n", "line 4: expected a section '[peer ADDRESS]'"},
        {"[node 10.0.0.3]\n", "line 4: expected a section '[peer ADDRESS]'"},
        {"[peer 10.0.0.3]\n[peer 10.0.0.3]\n",
         "line 5: section '[peer 10.0.0.3]' given twice (first at line 4)"},
        {"[peer 10.0.0.3]\nport = 1\nport = 2\n", "line 6: key 'port' given twice in section"},
        {"[peer 10.0.0.3]\nport = 70000\n", "line 5: bad value '70000' for port in section"},
        {"workarounds = opensesspriv,fastpath\n",
         "line 4: bad value 'opensesspriv,fastpath' for workarounds"},
        {"[peer 10.0.0.3]\ncipher_suite = 4\n", "bad value '4' for cipher_suite in section"},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.text);
        EXPECT_FALSE(tavik::bmc::parse_config(head + b.text, "/etc/tavik/bmc.conf", cfg, err));
        EXPECT_NE(err.find(b.error), std::string::npos) << err;
    }
    for (const char *other : {"lease = observe\n", "[peer 10.0.0.3]\nlease = none\n"}) {
        EXPECT_FALSE(tavik::bmc::parse_config(std::string("driver = inband\n") + other, "/b.conf", cfg, err));
        EXPECT_NE(err.find("need"), std::string::npos) << err;
        EXPECT_NE(err.find("driver = standard"), std::string::npos) << err;
    }
}

// Get Channel Cipher Suites record data in IPMI 2.0's layout (0xC0 and the suite, or 0xC1,
// the suite and an IANA number, then its algorithms), for the offers documented in the
// field: OpenBMC's default list (17 only), a board with 3 and 17, an older one with 3 only.
TEST(CipherSuites, TheStrongestBothSidesSpeakIsTaken) {
    struct Case {
        const char *what;
        std::vector<std::uint8_t> records;
        std::vector<std::uint8_t> offered;
        int chosen;  // -1: none
    };
    const Case cases[] = {
        {"OpenBMC: 17 only", {0xc0, 17, 0x03, 0x44, 0x81}, {17}, 17},
        {"3 and 17", {0xc0, 3, 0x01, 0x41, 0x81, 0xc0, 17, 0x03, 0x44, 0x81}, {3, 17}, 17},
        {"3 only, with suites 0-2 and an OEM one",
         {0xc0, 0,    0x00, 0x40, 0x80, 0xc0, 1,    0x01, 0x40, 0x80, 0xc1, 2,
          0x57, 0x01, 0x00, 0x01, 0x41, 0x80, 0xc0, 3,    0x01, 0x41, 0x81},
         {0, 1, 2, 3},
         3},
        {"neither 3 nor 17", {0xc0, 1, 0x01, 0x40, 0x80}, {1}, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const auto offered = tavik::bmc::offered_suites(c.records);
        EXPECT_EQ(offered, c.offered);
        std::uint8_t suite = 0;
        std::string why;
        EXPECT_EQ(tavik::bmc::choose_suite(offered, suite, why), c.chosen >= 0) << why;
        if (c.chosen >= 0) {
            EXPECT_EQ(suite, c.chosen);
        } else {
            EXPECT_NE(why.find("the BMC offers cipher suites 1;"), std::string::npos) << why;
        }
    }
}

TEST(PresencePing, PingIsTwelveBytesAndNoPong) {
    std::uint8_t buf[64];
    const int n = tavik::bmc::build_ping(7, buf, sizeof buf);
    ASSERT_EQ(n, 12);
    EXPECT_EQ(buf[0], 0x06) << "RMCP version 1.0";
    EXPECT_EQ(buf[3], 0x06) << "class ASF";
    EXPECT_EQ(buf[8], 0x80) << "presence ping";
    EXPECT_EQ(buf[9], 7);
    EXPECT_FALSE(tavik::bmc::is_pong(buf, static_cast<unsigned>(n), 7));
    // The same header as a pong with the tag, and the rest of the 28 bytes.
    std::uint8_t pong[28] = {0x06, 0x00, 0xff, 0x06, 0x00, 0x00, 0x11, 0xbe, 0x40, 7, 0x00, 0x10};
    EXPECT_TRUE(tavik::bmc::is_pong(pong, sizeof pong, 7));
    EXPECT_FALSE(tavik::bmc::is_pong(pong, sizeof pong, 8)) << "another round's tag";
    EXPECT_FALSE(tavik::bmc::is_pong(pong, 12, 7)) << "cut short";
}

}  // namespace
