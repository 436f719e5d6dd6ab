// SPDX-License-Identifier: GPL-3.0-or-later
// tavikctl's detection windows against the daemon's own behaviour: the settings read
// from one configuration, the per-target and access time-outs the check thread programs
// into the BMC, the effective time-out and the delay-warning threshold. Both sides get
// these from the shared rules, so a changed rule moves both and this stays green; a copy
// on either side that drifts fails it.
#include <gtest/gtest.h>

#include <string>

#include "bmccheck/checkbmc.h"
#include "detection.h"
#include "status/status.h"
#include "table/tablebuild.h"
#include "testtable.h"
#include "worker_fixture.h"

namespace {

struct Setting {
    const char *name;
    int hbto;
    int hbint;
    int warnrate;
    int ratio;
    long tck;
};

void PrintTo(const Setting &s, std::ostream *os) {
    *os << s.name;
}

class Agreement : public WorkerTest, public testing::WithParamInterface<Setting> {};

TEST_P(Agreement, TavikctlReadsTheSettingsTheDaemonReads) {
    const Setting s = GetParam();
    // As given, out of range below and above (corrected), and zero.
    const int variants[][3] = {
        {s.hbto, s.hbint, s.warnrate}, {-s.hbto, -s.hbint, s.warnrate + 100}, {0, 0, -1}};
    for (const auto &v : variants) {
        fake::set_int("/root/cluster/heartbeat/timeout", v[0]);
        fake::set_int("/root/cluster/heartbeat/interval", v[1]);
        fake::set_int("/root/cluster/delaywarn/heartbeat", v[2]);
        HbParams hp{};
        ASSERT_EQ(readparams(hp), 0);
        const tavikctl::TimingSettings read = tavikctl::read_timing_settings();
        EXPECT_EQ(read.hbto, hp.hbto) << v[0];
        EXPECT_EQ(read.hbint, hp.hbint) << v[1];
        EXPECT_EQ(read.warnrate, warnrate) << v[2];
    }
}

TEST_P(Agreement, WindowsAreWhatTheDaemonProgramsAndWaits) {
    const Setting s = GetParam();
    fake::set_ratio(s.ratio);
    tckconf = s.tck;
    bhbcheckbmc = 1;
    TestTable t(1, 2, s.hbto, s.hbint);
    run(hbcheckbmc, t.get(), stop_after(1, static_cast<uint64_t>(s.hbint) * 1000));
    const auto programmed = fake::bmc_programmed();
    ASSERT_FALSE(programmed.empty());

    const tavikctl::DetectionWindows w =
        tavikctl::compute_windows({s.hbto, s.hbint, s.warnrate, 1}, s.ratio, s.tck);
    EXPECT_EQ(programmed[0].records[0].timeout, w.target_timeout_s);
    EXPECT_EQ(fake::count_calls("bmc_SetZelvarinAccessTime", "0x37," + std::to_string(w.access_timeout_s)),
              1);

    const EffectiveTimeout eff = effectivetimeout(s.hbto);
    EXPECT_EQ(eff.seconds, w.effective_timeout_s);
    EXPECT_EQ(static_cast<long long>(eff.hbcl), w.effective_timeout_ticks);

    // The daemon raises the delay event exactly from the threshold tavikctl prints.
    warnrate = s.warnrate;
    const auto at = [&](long long diff) {
        const std::size_t before = fake::events().size();
        delaywarn("hb1", "node2", 1000, static_cast<clock_t>(1000 + diff), s.hbto, 71);
        return fake::events().size() > before;
    };
    EXPECT_TRUE(at(w.warn_ticks));
    if (w.warn_ticks > 0) {
        EXPECT_FALSE(at(w.warn_ticks - 1));
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Agreement,
                         testing::Values(Setting{"Defaults", 90000, 3000, 80, 1, 100},
                                         Setting{"ShortRatio3", 4000, 1000, 80, 3, 100},
                                         Setting{"TenthTruncated", 25000, 3000, 55, 1, 1000},
                                         Setting{"EightBitWrap", 2560000, 3000, 100, 2, 100},
                                         Setting{"RateZero", 10000, 1000, 0, 1, 100}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

}  // namespace
