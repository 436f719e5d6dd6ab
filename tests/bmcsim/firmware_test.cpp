// SPDX-License-Identifier: GPL-3.0-or-later
// Kept whole past 500 lines: every case runs on the same test clock and two-BMC
// fixture.
// The heartbeat firmware under a test clock: programming, result states, the status
// bits, the host status and its lapse, datagrams and the test hooks. Two Firmware
// objects joined by hand stand for two BMCs on a network. Single-threaded.
#include "firmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "bmc_protocol.h"

namespace {

using namespace tavik::bmcproto;
using tavik::bmcsim::Firmware;
using tavik::bmcsim::Ip4;
using tavik::bmcsim::Options;

const Ip4 kA{127, 0, 1, 1};
const Ip4 kB{127, 0, 1, 2};
const Ip4 kC{127, 0, 1, 3};

struct Target {
    Ip4 ip;
    std::uint8_t ctrl;
    std::uint8_t timeout;
};

std::vector<std::uint8_t> block_request(std::uint8_t block, const std::vector<Target> &targets) {
    std::vector<std::uint8_t> req(kSetTargetsRequestLen, 0);
    req[0] = block;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        std::memcpy(&req[1 + i * 8], targets[i].ip.data(), 4);
        req[1 + i * 8 + 4] = targets[i].ctrl;
        req[1 + i * 8 + 5] = targets[i].timeout;
    }
    return req;
}

struct Record {
    Ip4 ip;
    std::uint8_t state, status, timeout;
};

class Bmc {
  public:
    explicit Bmc(const Ip4 &addr, Options opt = {}) : fw_(make(addr, opt)) {}

    std::uint8_t call(std::uint8_t cmd, const std::vector<std::uint8_t> &data, std::int64_t now,
                      std::vector<std::uint8_t> *out = nullptr) {
        auto r = fw_.handle(cmd, data.data(), data.size(), now);
        if (out != nullptr) {
            out->assign(r.data.begin(), r.data.begin() + static_cast<long>(r.len));
        }
        return r.cc;
    }
    std::uint8_t program(std::uint8_t block, const std::vector<Target> &t, std::int64_t now) {
        return call(kCmdSetTargets, block_request(block, t), now);
    }
    std::uint8_t status(std::uint8_t ctrl, std::int64_t now) {
        return call(kCmdSetHostStatus, {1, ctrl}, now);
    }
    // Reads a whole block the way the library does: four pages.
    std::vector<Record> poll(std::uint8_t block, std::int64_t now) {
        std::vector<Record> recs;
        for (std::uint8_t page = 0; page < kPagesPerBlock; ++page) {
            std::vector<std::uint8_t> d;
            EXPECT_EQ(call(kCmdGetStatus, {block, page}, now, &d), kCcOk);
            EXPECT_EQ(d.size(), kGetStatusResponseLen);
            EXPECT_EQ(d[0], block);
            EXPECT_EQ(d[1], page);
            for (std::size_t i = 0; i < kPageRecords; ++i) {
                const std::uint8_t *r = &d[2 + i * 8];
                recs.push_back({{r[0], r[1], r[2], r[3]},
                                static_cast<std::uint8_t>((r[4] & kResultMask) >> kResultShift),
                                r[5],
                                r[6]});
            }
        }
        return recs;
    }
    Record first(std::int64_t now) { return poll(1, now)[0]; }
    // Delivers this BMC's heartbeat round to the peers given.
    void beat(std::int64_t now, std::vector<Bmc *> peers) {
        for (const auto &d : fw_.heartbeat(now)) {
            for (Bmc *p : peers) {
                if (p->fw_.options().addr == d.to) {
                    p->fw_.receive(fw_.options().addr, d.bytes.data(), d.bytes.size(), now);
                }
            }
        }
    }
    Firmware &fw() { return fw_; }

  private:
    static Firmware make(const Ip4 &addr, Options opt) {
        opt.addr = addr;
        return Firmware(opt);
    }
    Firmware fw_;
};

TEST(FirmwareProgramming, RefusedBlocksChangeNothing) {
    Bmc a(kA);
    ASSERT_EQ(a.program(1, {{kB, kCtrlStart, 2}}, 0), kCcOk);
    struct Case {
        const char *what;
        std::vector<std::uint8_t> req;
        std::uint8_t cc;
    };
    auto bad_ctrl = block_request(1, {{kC, 0x01, 2}});
    auto short_req = block_request(1, {{kC, kCtrlStart, 2}});
    short_req.pop_back();
    auto long_req = block_request(1, {{kC, kCtrlStart, 2}});
    long_req.push_back(0);
    const std::vector<Case> cases = {
        {"block 0", block_request(0, {{kC, kCtrlStart, 2}}), kCcOutOfRange},
        {"block 3", block_request(3, {{kC, kCtrlStart, 2}}), kCcOutOfRange},
        {"ctrl neither stop nor start", bad_ctrl, kCcInvalidData},
        {"128 bytes", short_req, kCcLengthInvalid},
        {"130 bytes", long_req, kCcLengthInvalid},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(a.call(kCmdSetTargets, c.req, 10), c.cc) << c.what;
        EXPECT_EQ(a.first(10).ip, kB) << c.what << ": the refused block replaced the target";
    }
}

TEST(FirmwareProgramming, AStartedAddressZeroIsAnUnusedSlotAndTheRestOfTheBlockStarts) {
    Bmc a(kA), b(kB), c(kC);
    ASSERT_EQ(a.program(1, {{kB, kCtrlStart, 2}, {Ip4{}, kCtrlStart, 2}, {kC, kCtrlStart, 2}}, 0), kCcOk);
    auto recs = a.poll(1, 100);
    EXPECT_EQ(recs[0].state, kResultCollecting);
    EXPECT_EQ(recs[1].ip, Ip4{});
    EXPECT_EQ(recs[1].state, kResultEmpty);
    EXPECT_EQ(recs[1].timeout, 0);
    EXPECT_EQ(recs[2].state, kResultCollecting);
    for (const auto &d : a.fw().heartbeat(100)) {
        EXPECT_NE(d.to, Ip4{}) << "a heartbeat datagram to address 0";
    }
    b.program(1, {{kA, kCtrlStart, 2}}, 0);
    c.program(1, {{kA, kCtrlStart, 2}}, 0);
    b.beat(500, {&a});
    c.beat(500, {&a});
    recs = a.poll(1, 600);
    EXPECT_EQ(recs[0].state, kResultReady);
    EXPECT_EQ(recs[2].state, kResultReady);
    EXPECT_EQ(recs[2].status & kStatusDatagramSeen, kStatusDatagramSeen);
}

TEST(FirmwareProgramming, SlotsReportEmptyStoppedAndCollecting) {
    Bmc a(kA);
    ASSERT_EQ(a.program(2, {{kB, kCtrlStop, 3}, {kC, kCtrlStart, 4}}, 0), kCcOk);
    auto recs = a.poll(2, 100);
    ASSERT_EQ(recs.size(), kBlockRecords);
    EXPECT_EQ(recs[0].ip, kB);
    EXPECT_EQ(recs[0].state, kResultStopped);
    EXPECT_EQ(recs[0].timeout, 3);
    EXPECT_EQ(recs[1].ip, kC);
    EXPECT_EQ(recs[1].state, kResultCollecting);
    EXPECT_EQ(recs[1].timeout, 4);
    for (std::size_t i = 2; i < kBlockRecords; ++i) {
        EXPECT_EQ(recs[i].ip, Ip4{}) << i;
        EXPECT_EQ(recs[i].state, kResultEmpty) << i;
    }
    EXPECT_EQ(a.poll(1, 100)[0].state, kResultEmpty) << "block 1 was never programmed";
}

TEST(FirmwareStatus, DatagramBitLastsExactlyTheTargetsTimeOut) {
    Bmc a(kA), b(kB);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 2}}, 0);
    b.program(1, {{kA, kCtrlStart, 2}}, 0);
    b.beat(500, {&a});
    EXPECT_EQ(a.first(2500).status & kStatusDatagramSeen, kStatusDatagramSeen);
    Record late = a.first(2501);
    EXPECT_EQ(late.state, kResultReady);
    EXPECT_EQ(late.status & kStatusDatagramSeen, 0);
    EXPECT_EQ(late.status & kStatusHostAlive, kStatusHostAlive) << "bit 1 is what the peer last announced";
}

TEST(FirmwareStatus, SilentTargetIsReadyWithoutBitsOnceItsTimeOutPassed) {
    Bmc a(kA);
    a.program(1, {{kB, kCtrlStart, 1}, {kC, kCtrlStart, 0}}, 1000);
    EXPECT_EQ(a.poll(1, 1999)[0].state, kResultCollecting);
    auto recs = a.poll(1, 2000);
    for (int i : {0, 1}) {
        EXPECT_EQ(recs[i].state, kResultReady) << i << " (a time-out of 0 counts as 1 s)";
        EXPECT_EQ(recs[i].status, 0) << i;
    }
}

TEST(FirmwareStatus, ReprogrammingKeepsHistoryOnlyForUnchangedTargets) {
    Bmc a(kA), b(kB);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 2}}, 0);
    b.program(1, {{kA, kCtrlStart, 2}}, 0);
    b.beat(100, {&a});
    ASSERT_EQ(a.first(200).state, kResultReady);

    a.program(1, {{kB, kCtrlStart, 3}}, 300);  // same target, new time-out
    Record kept = a.first(400);
    EXPECT_EQ(kept.state, kResultReady);
    EXPECT_EQ(kept.status, kStatusDatagramSeen | kStatusHostAlive);
    EXPECT_EQ(kept.timeout, 3);

    a.program(1, {{kB, kCtrlStop, 3}}, 500);
    b.beat(600, {&a});  // heard while stopped: does not count once started again
    EXPECT_EQ(a.first(650).state, kResultStopped);
    a.program(1, {{kB, kCtrlStart, 3}}, 700);
    EXPECT_EQ(a.first(800).state, kResultCollecting);
    b.beat(900, {&a});
    EXPECT_EQ(a.first(950).state, kResultReady);

    a.program(1, {{kC, kCtrlStart, 3}}, 1000);  // another target in the slot
    EXPECT_EQ(a.first(1100).state, kResultCollecting);
    EXPECT_EQ(a.first(1100).ip, kC);
}

TEST(FirmwareHost, StatusValuesAndTheAccessTimeOutDecideWhatPeersHear) {
    Bmc a(kA), b(kB);
    a.program(1, {{kB, kCtrlStart, 5}}, 0);
    b.program(1, {{kA, kCtrlStart, 5}}, 0);
    auto heard = [&](std::int64_t now) {
        a.beat(now, {&b});
        return (b.first(now).status & kStatusHostAlive) != 0;
    };
    EXPECT_FALSE(heard(10)) << "no status yet: the host counts as dead";
    struct Step {
        std::uint8_t ctrl;
        bool alive;
    };
    std::int64_t now = 100;
    for (Step s : {Step{kHostStarted, true}, Step{kHostShutdown, false}, Step{kHostRunning, true},
                   Step{kHostCheckStopped, false}, Step{kHostRunning, true}}) {
        ASSERT_EQ(a.status(s.ctrl, now), kCcOk);
        EXPECT_EQ(heard(now), s.alive) << "after status " << int(s.ctrl);
        now += 100;
    }
    ASSERT_EQ(a.call(kCmdSetAccessTime, {0x02, 0x00}, now), kCcOk);  // 2 s, counted from the last status
    const std::int64_t last_status = now - 100;
    EXPECT_TRUE(heard(last_status + 1999));
    EXPECT_FALSE(heard(last_status + 2000)) << "no status within the access time-out";
    a.status(kHostRunning, last_status + 2500);
    EXPECT_TRUE(heard(last_status + 2500));
    ASSERT_EQ(a.call(kCmdSetAccessTime, {0x00, 0x00}, now), kCcOk);
    EXPECT_TRUE(heard(last_status + 100000)) << "access time-out 0 never lapses";
}

TEST(FirmwareHost, AnnouncementIsDueWhenTheHostStateChanges) {
    Bmc a(kA);
    a.program(1, {{kB, kCtrlStart, 1}}, 0);
    a.status(kHostRunning, 0);
    a.call(kCmdSetAccessTime, {1, 0}, 0);
    ASSERT_EQ(a.fw().heartbeat(0).size(), 1u);
    EXPECT_FALSE(a.fw().announcement_due(10));
    a.status(kHostShutdown, 20);
    EXPECT_TRUE(a.fw().announcement_due(20));
    a.fw().heartbeat(20);
    EXPECT_FALSE(a.fw().announcement_due(30));
    a.status(kHostRunning, 40);
    a.fw().heartbeat(40);
    EXPECT_TRUE(a.fw().announcement_due(1040)) << "the lapse of the access time-out is a change too";
}

TEST(FirmwareHost, RefusesBadStatusRequests) {
    Bmc a(kA);
    EXPECT_EQ(a.call(kCmdSetHostStatus, {1, 0x03}, 0), kCcInvalidData);
    EXPECT_EQ(a.call(kCmdSetHostStatus, {2, kHostRunning}, 0), kCcOutOfRange);
    EXPECT_EQ(a.call(kCmdSetHostStatus, {1}, 0), kCcLengthInvalid);
    EXPECT_EQ(a.call(kCmdSetAccessTime, {1, 0, 0}, 0), kCcLengthInvalid);
    EXPECT_EQ(a.call(kCmdGetStatus, {1, 4}, 0), kCcOutOfRange);
    EXPECT_EQ(a.call(kCmdGetStatus, {0, 0}, 0), kCcOutOfRange);
    EXPECT_EQ(a.call(kCmdGetStatus, {1}, 0), kCcLengthInvalid);
    EXPECT_EQ(a.call(0x36, {}, 0), kCcInvalidCommand);
    EXPECT_FALSE(a.fw().host_alive(0)) << "a refused status changed the host state";
}

TEST(FirmwareDatagrams, OneRoundReachesEachStartedAddressOnce) {
    Options opt;
    Bmc a(kA, opt);
    a.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 1}, {kC, kCtrlStop, 1}, {kB, kCtrlStart, 2}, {kA, kCtrlStart, 1}}, 0);
    auto round1 = a.fw().heartbeat(0);
    auto round2 = a.fw().heartbeat(1);
    ASSERT_EQ(round1.size(), 2u) << "B once (two slots), A itself, not the stopped C";
    EXPECT_EQ(round1[0].to, kB);
    EXPECT_EQ(round1[1].to, kA);
    const auto &d = round1[0].bytes;
    EXPECT_EQ(std::memcmp(d.data(), "TVHB", 4), 0);
    EXPECT_EQ(d[4], kDatagramVersion);
    EXPECT_EQ(d[5], kDatagramHostAlive);
    EXPECT_EQ(Ip4({d[8], d[9], d[10], d[11]}), kA);
    std::uint32_t seq1 = (d[12] << 24) | (d[13] << 16) | (d[14] << 8) | d[15];
    const auto &e = round2[0].bytes;
    std::uint32_t seq2 = (e[12] << 24) | (e[13] << 16) | (e[14] << 8) | e[15];
    EXPECT_EQ(seq2, seq1 + 2);
}

TEST(FirmwareDatagrams, MalformedOrUnwantedDatagramsAreIgnored) {
    Bmc a(kA), b(kB);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 2}}, 0);
    b.program(1, {{kA, kCtrlStart, 2}}, 0);
    auto good = b.fw().heartbeat(10)[0].bytes;
    auto bad_magic = good;
    bad_magic[0] = 'X';
    auto bad_version = good;
    bad_version[4] = 2;
    a.fw().receive(kB, bad_magic.data(), bad_magic.size(), 20);
    a.fw().receive(kB, bad_version.data(), bad_version.size(), 20);
    a.fw().receive(kB, good.data(), good.size() - 1, 20);
    a.fw().receive(kC, good.data(), good.size(), 20);  // not a target
    EXPECT_EQ(a.first(30).state, kResultCollecting);
    EXPECT_EQ(a.fw().counters().ignored, 4u);
    a.fw().receive(kB, good.data(), good.size(), 40);
    EXPECT_EQ(a.first(50).state, kResultReady);
    EXPECT_EQ(a.fw().counters().received, 1u);
}

TEST(FirmwareHooks, RefusalAnswersTheChosenCodeForTheChosenCount) {
    Bmc a(kA);
    ASSERT_EQ(a.call(kCmdTestControl, {kTestRefuse, kCmdSetHostStatus, 0xd5, 2}, 0), kCcOk);
    EXPECT_EQ(a.status(kHostRunning, 0), 0xd5);
    EXPECT_EQ(a.status(kHostRunning, 0), 0xd5);
    EXPECT_FALSE(a.fw().host_alive(0)) << "a refused command must have no effect";
    EXPECT_EQ(a.status(kHostRunning, 0), kCcOk) << "the count ran out";
    ASSERT_EQ(a.call(kCmdTestControl, {kTestRefuse, kCmdGetStatus, 0xc0}, 0), kCcOk);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(a.call(kCmdGetStatus, {1, 0}, 0), 0xc0);
    }
    ASSERT_EQ(a.call(kCmdTestControl, {kTestRefuse, kCmdGetStatus, 0x00}, 0), kCcOk);
    EXPECT_EQ(a.call(kCmdGetStatus, {1, 0}, 0), kCcOk);
    EXPECT_EQ(a.call(kCmdTestControl, {kTestRefuse, kCmdTestControl, 0xc0}, 0), kCcInvalidData);
    EXPECT_EQ(a.call(kCmdTestControl, {0x7f}, 0), kCcInvalidData);
    EXPECT_EQ(a.call(kCmdTestControl, {}, 0), kCcLengthInvalid);
}

TEST(FirmwareHooks, DropCutsOneDirectionUntilCleared) {
    Bmc a(kA), b(kB);
    a.status(kHostRunning, 0);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 1}}, 0);
    b.program(1, {{kA, kCtrlStart, 1}}, 0);
    ASSERT_EQ(a.call(kCmdTestControl, {kTestDrop, 127, 0, 1, 2, kDropFrom}, 0), kCcOk);
    a.beat(100, {&b});
    b.beat(100, {&a});
    EXPECT_EQ(a.first(200).state, kResultCollecting) << "A drops what B sends";
    EXPECT_EQ(b.first(200).status, kStatusDatagramSeen | kStatusHostAlive);
    ASSERT_EQ(a.call(kCmdTestControl, {kTestDrop, 127, 0, 1, 2, kDropTo}, 0), kCcOk);
    b.beat(1200, {&a});
    a.beat(1200, {&b});
    EXPECT_EQ(a.first(1300).status & kStatusDatagramSeen, kStatusDatagramSeen) << "from-drop cleared";
    EXPECT_EQ(b.first(1300).status & kStatusDatagramSeen, 0) << "A sends nothing to B";
    EXPECT_EQ(a.call(kCmdTestControl, {kTestDrop, 127, 0, 1, 2, 0x04}, 0), kCcInvalidData);
    ASSERT_EQ(a.call(kCmdTestControl, {kTestClearAll}, 0), kCcOk);
    a.beat(1400, {&b});
    EXPECT_EQ(b.first(1500).status & kStatusDatagramSeen, kStatusDatagramSeen);
}

TEST(FirmwareHooks, CollectingCountsPollsOfEachBlock) {
    Options opt;
    opt.collecting = 2;
    Bmc a(kA, opt), b(kB);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 1}, {kC, kCtrlStop, 1}}, 0);
    a.program(2, {{kB, kCtrlStart, 1}}, 0);
    b.program(1, {{kA, kCtrlStart, 1}}, 0);
    b.beat(10, {&a});
    for (int poll = 1; poll <= 2; ++poll) {
        auto recs = a.poll(1, 20);
        EXPECT_EQ(recs[0].state, kResultCollecting) << "poll " << poll;
        EXPECT_EQ(recs[1].state, kResultStopped) << "a stopped target has no result even then";
    }
    EXPECT_EQ(a.poll(1, 20)[0].state, kResultReady);
    EXPECT_EQ(a.poll(2, 20)[0].state, kResultCollecting) << "block 2 has its own count";
    ASSERT_EQ(a.call(kCmdTestControl, {kTestCollecting, 1}, 0), kCcOk);
    EXPECT_EQ(a.poll(1, 20)[0].state, kResultCollecting);
    EXPECT_EQ(a.poll(1, 20)[0].state, kResultReady);
}

// B beats every `step` ms for `until` ms into A; returns which of its datagrams A took.
std::vector<bool> lossy_run(Options opt, std::int64_t step, std::int64_t until) {
    Bmc a(kA, opt), b(kB);
    a.status(kHostRunning, 0);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 1}}, 0);
    b.program(1, {{kA, kCtrlStart, 1}}, 0);
    std::vector<bool> taken;
    for (std::int64_t t = step; t <= until; t += step) {
        const auto before = a.fw().counters().received;
        b.beat(t, {&a});
        taken.push_back(a.fw().counters().received != before);
    }
    return taken;
}

TEST(FirmwareHooks, LossDropsAtRandomButNeverForLongerThanItsBound) {
    Options opt;
    opt.loss_pct = 60;
    opt.loss_max_ms = 300;
    opt.seed = 7;
    Bmc a(kA, opt), b(kB);
    a.status(kHostRunning, 0);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 1}}, 0);
    b.program(1, {{kA, kCtrlStart, 1}}, 0);
    constexpr std::int64_t kStep = 50;
    std::int64_t last_taken = -1, longest_gap = 0;
    for (std::int64_t t = kStep; t <= 20000; t += kStep) {
        const auto before = a.fw().counters().received;
        b.beat(t, {&a});
        if (a.fw().counters().received != before) {
            if (last_taken >= 0) {
                longest_gap = std::max(longest_gap, t - last_taken);
            }
            last_taken = t;
        }
        ASSERT_NE(last_taken, -1) << "the first datagram from a sender is always taken";
        ASSERT_EQ(a.first(t).status, kStatusDatagramSeen | kStatusHostAlive)
            << "a bounded loss must never clear the heartbeat bit (t=" << t << ")";
    }
    const auto &c = a.fw().counters();
    EXPECT_LE(longest_gap, 300 + kStep);
    EXPECT_GT(longest_gap, kStep) << "nothing was lost in a row";
    EXPECT_EQ(c.received + c.dropped, 400u);
    // 60 % asked, less what the bound lets through: well inside 25-75 % for 400 datagrams.
    EXPECT_GT(c.dropped, 100u);
    EXPECT_LT(c.dropped, 300u);
}

TEST(FirmwareHooks, LossRepeatsWithItsSeedAndUnboundedLossSilencesThePeer) {
    Options opt;
    opt.loss_pct = 50;
    opt.seed = 11;
    const auto first = lossy_run(opt, 100, 5000);
    EXPECT_EQ(lossy_run(opt, 100, 5000), first) << "same seed, same timing: same losses";
    opt.seed = 12;
    EXPECT_NE(lossy_run(opt, 100, 5000), first);

    opt.loss_pct = 100;
    opt.loss_max_ms = 0;
    Bmc a(kA, opt), b(kB);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 1}}, 0);
    b.program(1, {{kA, kCtrlStart, 1}}, 0);
    for (std::int64_t t = 100; t <= 3000; t += 100) {
        b.beat(t, {&a});
    }
    EXPECT_EQ(a.fw().counters().received, 1u);
    EXPECT_EQ(a.fw().counters().dropped, 29u);
    EXPECT_EQ(a.first(3000).status, kStatusHostAlive) << "all lost for 2.9 s: the heartbeat bit is gone";
}

TEST(FirmwareHooks, LossIsSetAndClearedThroughTestControl) {
    Bmc a(kA), b(kB);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 1}}, 0);
    b.program(1, {{kA, kCtrlStart, 1}}, 0);
    ASSERT_EQ(a.call(kCmdTestControl, {kTestLoss, 100, 0xf4, 0x01}, 0), kCcOk);  // 100 %, 500 ms
    for (std::int64_t t = 100; t <= 2000; t += 100) {
        b.beat(t, {&a});
    }
    // Taken at 100, then each first one 500 ms after the last taken: 600, 1100, 1600.
    EXPECT_EQ(a.fw().counters().received, 4u);
    ASSERT_EQ(a.call(kCmdTestControl, {kTestClearAll}, 0), kCcOk);
    b.beat(2100, {&a});
    EXPECT_EQ(a.fw().counters().received, 5u) << "clearing every hook ends the loss too";
    EXPECT_EQ(a.call(kCmdTestControl, {kTestLoss, 101, 0, 0}, 0), kCcInvalidData);
    EXPECT_EQ(a.call(kCmdTestControl, {kTestLoss, 10, 0x61, 0xea}, 0), kCcInvalidData);  // 60001 ms
    EXPECT_EQ(a.call(kCmdTestControl, {kTestLoss, 10, 0}, 0), kCcLengthInvalid);
}

TEST(FirmwareHooks, StateRecordReportsHostAndCounters) {
    Bmc a(kA), b(kB);
    a.status(kHostRunning, 1000);
    a.call(kCmdSetAccessTime, {0x2c, 0x01}, 1000);  // 300 s
    a.program(1, {{kB, kCtrlStart, 1}}, 0);
    b.program(1, {{kA, kCtrlStart, 1}}, 0);
    a.fw().heartbeat(1100);
    b.beat(1100, {&a});
    std::vector<std::uint8_t> d;
    ASSERT_EQ(a.call(kCmdTestControl, {kTestGetState}, 4200, &d), kCcOk);
    ASSERT_EQ(d.size(), kTestStateLen);
    EXPECT_EQ(d[0], 1);                  // host alive
    EXPECT_EQ(d[1] | (d[2] << 8), 300);  // access time-out
    EXPECT_EQ(d[3] | (d[4] << 8), 3);    // seconds since the last status
    EXPECT_EQ(d[5], 1);                  // sent
    EXPECT_EQ(d[9], 1);                  // received
}

TEST(FirmwareOptions, ParsesEveryOptionAndNamesTheBadOne) {
    Options o;
    std::string err;
    ASSERT_TRUE(tavik::bmcsim::parse_options(
        "addr=127.0.1.4  hbport=7001\tperiod_ms=100 access_timeout=9 collecting=3 refuse=0x32:0xd5:2 "
        "refuse=49:193 drop_from=127.0.1.5 drop_to=127.0.1.6 loss=30:500 seed=42",
        o, err))
        << err;
    EXPECT_EQ(o.loss_pct, 30);
    EXPECT_EQ(o.loss_max_ms, 500u);
    EXPECT_EQ(o.seed, 42u);
    EXPECT_EQ(o.addr, Ip4({127, 0, 1, 4}));
    EXPECT_EQ(o.hb_port, 7001);
    EXPECT_EQ(o.period_ms, 100u);
    EXPECT_EQ(o.access_timeout_s, 9);
    EXPECT_EQ(o.collecting, 3u);
    ASSERT_EQ(o.refuse.size(), 2u);
    EXPECT_EQ(o.refuse.at(0x32).cc, 0xd5);
    EXPECT_EQ(o.refuse.at(0x32).remaining, 2u);
    EXPECT_EQ(o.refuse.at(0x31).cc, 0xc1);
    EXPECT_EQ(o.drop_from.count(Ip4({127, 0, 1, 5})), 1u);
    EXPECT_EQ(o.drop_to.count(Ip4({127, 0, 1, 6})), 1u);

    struct Bad {
        const char *text, *named;
    };
    for (Bad b :
         {Bad{"hbport=7001", "addr"}, Bad{"addr=127.0.1.300", "addr=127.0.1.300"},
          Bad{"addr=0.0.0.0", "addr=0.0.0.0"}, Bad{"addr=127.0.1.1 hbport=0", "hbport=0"},
          Bad{"addr=127.0.1.1 period_ms=5", "period_ms=5"}, Bad{"addr=127.0.1.1 colour=red", "colour"},
          Bad{"addr=127.0.1.1 refuse=0x32", "refuse=0x32"}, Bad{"addr=127.0.1.1 refuse=0x32:0", "refuse"},
          Bad{"addr=127.0.1.1 refuse=0x3e:0xc0", "refuse=0x3e"}, Bad{"addr=127.0.1.1 drop_to=x", "drop_to"},
          Bad{"addr=127.0.1.1 loss=101", "loss=101"}, Bad{"addr=127.0.1.1 loss=5:60001", "loss=5:60001"},
          Bad{"addr=127.0.1.1 loss=x", "loss=x"}, Bad{"addr=127.0.1.1 seed=-1", "seed=-1"},
          Bad{"addr=127.0.1.1 verbose", "verbose"}}) {
        err.clear();
        EXPECT_FALSE(tavik::bmcsim::parse_options(b.text, o, err)) << b.text;
        EXPECT_NE(err.find(b.named), std::string::npos) << b.text << " -> " << err;
    }
}

// ---- read-back (0x34 targets, 0x35 firmware state) ------------------------------------

struct Held {
    Ip4 ip;
    std::uint8_t ctrl, timeout, state, status;
};

std::vector<Held> read_back(Bmc &bmc, std::uint8_t block, std::int64_t now) {
    std::vector<Held> out;
    for (std::uint8_t page = 0; page < kPagesPerBlock; ++page) {
        std::vector<std::uint8_t> d;
        EXPECT_EQ(bmc.call(kCmdGetTargets, {block, page}, now, &d), kCcOk);
        EXPECT_EQ(d.size(), kGetTargetsResponseLen);
        if (d.size() != kGetTargetsResponseLen) {
            return out;
        }
        EXPECT_EQ(d[0], block);
        EXPECT_EQ(d[1], page);
        for (std::size_t i = 0; i < kPageRecords; ++i) {
            const std::uint8_t *r = &d[2 + i * 8];
            out.push_back({{r[0], r[1], r[2], r[3]},
                           r[4],
                           r[5],
                           static_cast<std::uint8_t>((r[6] & kResultMask) >> kResultShift),
                           r[7]});
        }
    }
    return out;
}

TEST(FirmwareReadBack, TargetsShowWhatTheSlotsHoldAndWhatAPollWouldReport) {
    Bmc a(kA), b(kB);
    b.status(kHostRunning, 0);
    ASSERT_EQ(a.program(1, {{kB, kCtrlStart, 2}, {kC, kCtrlStop, 3}, {kA, kCtrlStart, 1}}, 0), kCcOk);
    ASSERT_EQ(a.program(2, {{}, {kC, kCtrlStart, 5}}, 0), kCcOk);
    b.program(1, {{kA, kCtrlStart, 1}}, 0);
    b.beat(100, {&a});
    for (std::int64_t now : {200, 2500}) {  // B heard, then silent past its 2 s
        SCOPED_TRACE(now);
        std::vector<Record> polled = a.poll(1, now);
        std::vector<Held> held = read_back(a, 1, now);
        ASSERT_EQ(held.size(), kBlockRecords);
        const std::vector<Held> want = {
            {kB, kCtrlStart, 2, kResultReady, static_cast<std::uint8_t>(now < 2100 ? 3 : 2)},
            {kC, kCtrlStop, 3, kResultStopped, 0},
            {kA, kCtrlStart, 1, kResultCollecting, 0}};
        for (std::size_t i = 0; i < kBlockRecords; ++i) {
            SCOPED_TRACE(i);
            Held w = i < want.size() ? want[i] : Held{Ip4{}, kCtrlStop, 0, kResultEmpty, 0};
            if (i == 2 && now >= 1000) {
                w.state = kResultReady;  // its own 1 s passed without a datagram: silent
            }
            EXPECT_EQ(held[i].ip, w.ip);
            EXPECT_EQ(held[i].ctrl, w.ctrl);
            EXPECT_EQ(held[i].timeout, w.timeout);
            EXPECT_EQ(held[i].state, w.state);
            EXPECT_EQ(held[i].status, w.status);
            // What a poll reports, record for record.
            EXPECT_EQ(held[i].state, polled[i].state);
            EXPECT_EQ(held[i].status, polled[i].status);
        }
    }
    std::vector<Held> second = read_back(a, 2, 2500);
    EXPECT_EQ(second[0].state, kResultEmpty);
    EXPECT_EQ(second[1].ip, kC);
    EXPECT_EQ(second[1].ctrl, kCtrlStart);
    EXPECT_EQ(second[1].timeout, 5);
}

TEST(FirmwareReadBack, IsNoPollAndChangesNothing) {
    Options opt;
    opt.collecting = 2;
    Bmc a(kA, opt), b(kB);
    b.status(kHostRunning, 0);
    a.program(1, {{kB, kCtrlStart, 1}}, 0);
    b.program(1, {{kA, kCtrlStart, 1}}, 0);
    b.beat(10, {&a});
    for (int i = 0; i < 5; ++i) {
        // The hook forces polls to "collecting"; the read-back shows the real state and
        // does not use up the hook's count.
        EXPECT_EQ(read_back(a, 1, 20)[0].state, kResultReady);
    }
    EXPECT_EQ(a.poll(1, 20)[0].state, kResultCollecting);
    EXPECT_EQ(a.poll(1, 20)[0].state, kResultCollecting);
    EXPECT_EQ(a.poll(1, 20)[0].state, kResultReady);
    // Reprogramming the same target after reading back keeps its history.
    a.program(1, {{kB, kCtrlStart, 1}}, 30);
    EXPECT_EQ(a.first(40).status, 3);
}

TEST(FirmwareReadBack, RefusesBadRequests) {
    Options opt;
    Bmc a(kA, opt);
    struct Case {
        std::uint8_t cmd;
        std::vector<std::uint8_t> req;
        std::uint8_t cc;
    };
    for (const Case &c : std::vector<Case>{{kCmdGetTargets, {1}, kCcLengthInvalid},
                                           {kCmdGetTargets, {1, 0, 0}, kCcLengthInvalid},
                                           {kCmdGetTargets, {0, 0}, kCcOutOfRange},
                                           {kCmdGetTargets, {3, 0}, kCcOutOfRange},
                                           {kCmdGetTargets, {1, 4}, kCcOutOfRange},
                                           {kCmdGetFirmwareState, {0}, kCcLengthInvalid}}) {
        EXPECT_EQ(a.call(c.cmd, c.req, 0), c.cc) << int(c.cmd) << " of " << c.req.size() << " bytes";
    }
    ASSERT_EQ(a.call(kCmdTestControl, {kTestRefuse, kCmdGetTargets, kCcInvalidCommand, 1}, 0), kCcOk);
    EXPECT_EQ(a.call(kCmdGetTargets, {1, 0}, 0), kCcInvalidCommand);
    EXPECT_EQ(a.call(kCmdGetTargets, {1, 0}, 0), kCcOk);
}

TEST(FirmwareReadBack, StateGivesTheHostFlagAccessTimeOutAndLastStatus) {
    Options opt;
    opt.period_ms = 300;
    opt.access_timeout_s = 7;
    Bmc a(kA, opt), b(kB);
    struct Want {
        int alive, access, since, last;
    };
    auto state = [&](std::int64_t now) {
        std::vector<std::uint8_t> d;
        EXPECT_EQ(a.call(kCmdGetFirmwareState, {}, now, &d), kCcOk);
        EXPECT_EQ(d.size(), kFirmwareStateLen);
        d.resize(kFirmwareStateLen);
        EXPECT_EQ(d[6] | (d[7] << 8), 300);  // period
        return std::make_pair(Want{d[0], d[1] | (d[2] << 8), d[3] | (d[4] << 8), d[5]},
                              std::make_pair(d[8] | (d[9] << 8), d[12] | (d[13] << 8)));
    };
    auto expect = [](const std::pair<Want, std::pair<int, int>> &got, Want w) {
        EXPECT_EQ(got.first.alive, w.alive);
        EXPECT_EQ(got.first.access, w.access);
        EXPECT_EQ(got.first.since, w.since);
        EXPECT_EQ(got.first.last, w.last);
    };
    expect(state(0), {0, 7, 0xffff, 0});  // nothing announced yet
    a.status(kHostStarted, 1000);
    expect(state(1500), {1, 7, 0, kHostStarted});
    a.call(kCmdSetAccessTime, {3, 0}, 2000);
    expect(state(3900), {1, 3, 2, kHostStarted});
    expect(state(4000), {0, 3, 3, kHostStarted});  // lapsed: no status for 3 s
    a.status(kHostCheckStopped, 5000);
    expect(state(5000), {0, 3, 0, kHostCheckStopped});
    a.program(1, {{kB, kCtrlStart, 1}}, 5000);
    b.program(1, {{kA, kCtrlStart, 1}}, 5000);
    a.fw().heartbeat(5100);
    b.beat(5100, {&a});
    b.beat(5400, {&a});
    auto counters = state(5500).second;
    EXPECT_EQ(counters.first, 1);   // sent
    EXPECT_EQ(counters.second, 2);  // received
}

}  // namespace
