// SPDX-License-Identifier: GPL-3.0-or-later
// The standard driver's pure parts: the watchdog lease's rules, the access file's peer
// keys, and the presence ping's packets. Single-threaded; no simulator.
#include <gtest/gtest.h>

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
