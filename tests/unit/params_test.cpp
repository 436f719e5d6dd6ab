// SPDX-License-Identifier: GPL-3.0-or-later
// The heartbeat parameters: defaults when keys are missing, each correction with its
// message, one policy loaded at a time, and a policy that cannot be loaded.
#include <gtest/gtest.h>

#include <optional>

#include "fakes.h"
#include "rules/stackmin.h"
#include "table_support.h"

namespace {

constexpr char kHbto[] = "/root/cluster/heartbeat/timeout";
constexpr char kHbint[] = "/root/cluster/heartbeat/interval";
constexpr char kRate[] = "/root/cluster/delaywarn/heartbeat";
constexpr char kStack[] = "/root/tavik/thread/stacksize";

std::string under_minimum(int v) {
    return "under minimum STACKSIZE(" + std::to_string(v) + "). set to " + std::to_string(kMinStackSize) +
           ".";
}

enum class Target { maxnode, maxrsc, hbto, hbint, warnrate, thstacksz };

int valueof(Target t, const HbParams &hp) {
    switch (t) {
        case Target::maxnode:
            return hp.maxnode;
        case Target::maxrsc:
            return hp.maxrsc;
        case Target::hbto:
            return hp.hbto;
        case Target::hbint:
            return hp.hbint;
        case Target::warnrate:
            return warnrate;
        case Target::thstacksz:
            return thstacksz;
    }
    return 0;
}

struct ParamCase {
    const char *name;
    const char *key;
    int value;
    Target target;
    int expected;
    std::vector<std::string> messages;  // correction messages, in order
};

void PrintTo(const ParamCase &c, std::ostream *os) {
    *os << c.name;
}

class ParamCorrection : public tabletest::TableTest, public testing::WithParamInterface<ParamCase> {};

TEST_P(ParamCorrection, KeepsOrCorrectsTheValueRead) {
    const ParamCase &c = GetParam();
    fake::set_int(c.key, c.value);
    HbParams hp;
    ASSERT_EQ(readparams(hp), 0);
    EXPECT_EQ(valueof(c.target, hp), c.expected);
    std::vector<std::string> corrections;
    for (const char *part : {"HBTO", "HBINT", "STACKSIZE"}) {
        for (auto &text : tabletest::logtexts(part)) {
            corrections.push_back(text);
        }
    }
    EXPECT_EQ(corrections, c.messages);
}

INSTANTIATE_TEST_SUITE_P(
    Params, ParamCorrection,
    testing::Values(
        ParamCase{"MaxnodeZero", "/root/all/num/server", 0, Target::maxnode, 0, {}},
        ParamCase{"MaxrscNegative", "/root/all/num/hbr", -3, Target::maxrsc, -3, {}},
        ParamCase{"HbtoZero", kHbto, 0, Target::hbto, 90000, {"invalid HBTO(0). set to 90000 msec."}},
        ParamCase{"HbtoNegative", kHbto, -5, Target::hbto, 90000, {"invalid HBTO(-5). set to 90000 msec."}},
        ParamCase{"HbtoOne", kHbto, 1, Target::hbto, 1, {}},
        ParamCase{"HbintNegative", kHbint, -1, Target::hbint, 3000, {"invalid HBINT(-1). set to 3000 msec."}},
        ParamCase{"HbintZero", kHbint, 0, Target::hbint, 100, {"HBINT(0). set to 100 msec."}},
        ParamCase{"HbintOne", kHbint, 1, Target::hbint, 1, {}},
        ParamCase{"RateNegative", kRate, -10, Target::warnrate, 0, {}},
        ParamCase{"RateZero", kRate, 0, Target::warnrate, 0, {}},
        ParamCase{"Rate99", kRate, 99, Target::warnrate, 99, {}},
        ParamCase{"Rate100", kRate, 100, Target::warnrate, 100, {}},
        ParamCase{"Rate150", kRate, 150, Target::warnrate, 100, {}},
        ParamCase{"StackNegative", kStack, -1, Target::thstacksz, 0, {"invalid STACKSIZE(-1). set to 0."}},
        ParamCase{"StackOne", kStack, 1, Target::thstacksz, kMinStackSize, {under_minimum(1)}},
        ParamCase{"Stack16384", kStack, 16384, Target::thstacksz, kMinStackSize, {under_minimum(16384)}},
        ParamCase{"StackJustBelow",
                  kStack,
                  kMinStackSize - 1,
                  Target::thstacksz,
                  kMinStackSize,
                  {under_minimum(kMinStackSize - 1)}},
        ParamCase{"StackMinimum", kStack, kMinStackSize, Target::thstacksz, kMinStackSize, {}},
        ParamCase{"StackZero", kStack, 0, Target::thstacksz, 0, {}}),
    [](const testing::TestParamInfo<ParamCase> &param_info) { return std::string(param_info.param.name); });

class Params : public tabletest::TableTest {};

TEST_F(Params, EveryKeyMissingTakesTheDefaultsWithoutCorrections) {
    warnrate = 55;  // a failed read must not leave what was there before
    thstacksz = 99;
    HbParams hp{1, 2, 3, 4};
    ASSERT_EQ(readparams(hp), 0);
    EXPECT_EQ(hp.maxnode, 32);
    EXPECT_EQ(hp.maxrsc, 128);
    EXPECT_EQ(hp.hbto, 90000);
    EXPECT_EQ(hp.hbint, 3000);
    EXPECT_EQ(warnrate, 80);
    EXPECT_EQ(thstacksz, 0);
    EXPECT_EQ(tabletest::logtexts("xmllib_get_value(").size(), 6u);
    EXPECT_TRUE(fake::has_log(
        "xmllib_get_value(/root/tavik/thread/stacksize) failed(ret:" + std::to_string(XMLLIB_E_NO_KEY) + ")",
        LV_ERROR));
    EXPECT_FALSE(fake::has_log("set to"));
}

TEST_F(Params, ReadsEachPolicyAloneAndInOrder) {
    fake::set_int("/root/all/num/server", 4);
    fake::set_int(kHbto, 5000);
    fake::set_int(kStack, 2 * kMinStackSize);
    HbParams hp;
    ASSERT_EQ(readparams(hp), 0);
    EXPECT_EQ(hp.maxnode, 4);
    EXPECT_EQ(hp.hbto, 5000);
    EXPECT_EQ(thstacksz, 2 * kMinStackSize);
    std::vector<std::string> seen;
    for (const auto &c : testcalls()) {
        if (c.name.find("policy") != std::string::npos) {
            seen.push_back(c.name + " " + c.args);
        } else if (c.name == "xmllib_get_value") {
            seen.push_back(c.args);
        }
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{
                  "xmllib_load_policy all", "/root/all/num/server,1,4", "/root/all/num/hbr,1,4",
                  "xmllib_unload_policy all", "xmllib_load_policy nm", std::string(kHbto) + ",1,4",
                  std::string(kHbint) + ",1,4", std::string(kRate) + ",1,4", "xmllib_unload_policy nm",
                  "xmllib_load_policy tavik", std::string(kStack) + ",1,4", "xmllib_unload_policy tavik"}));
}

struct PolicyFailure {
    const char *policy;
    int keysread;  // keys read before the failure
};

class PolicyNotLoadable : public tabletest::TableTest, public testing::WithParamInterface<PolicyFailure> {};

TEST_P(PolicyNotLoadable, EndsWithSixAndReadsNoFurtherKey) {
    const PolicyFailure &c = GetParam();
    fake::set_int(kRate, 10);
    fake::set_int(kStack, 20000);
    fake::fail("xmllib_load_policy", 1, 4, 0, c.policy);
    HbParams hp;
    EXPECT_EQ(readparams(hp), 6);
    EXPECT_TRUE(fake::has_log(std::string("xmllib_load_policy(") + c.policy + ") failed(ret:4)", LV_ERROR));
    EXPECT_EQ(counttest("xmllib_get_value"), c.keysread);
    EXPECT_EQ(counttest("xmllib_unload_policy", c.policy), 0);
    if (std::string(c.policy) != "tavik") {
        EXPECT_EQ(thstacksz, 0);
    }
    if (std::string(c.policy) == "nm" || std::string(c.policy) == "all") {
        EXPECT_EQ(warnrate, 80);
    }
}

INSTANTIATE_TEST_SUITE_P(Params, PolicyNotLoadable,
                         testing::Values(PolicyFailure{"all", 0}, PolicyFailure{"nm", 2},
                                         PolicyFailure{"tavik", 5}),
                         [](const testing::TestParamInfo<PolicyFailure> &param_info) {
                             return std::string(param_info.param.policy);
                         });

TEST_F(Params, AnUnloadFailureIsLoggedAndReadingGoesOn) {
    fake::fail("xmllib_unload_policy", 1, 3, 0, "nm");
    fake::set_int(kStack, 3 * kMinStackSize);
    HbParams hp;
    EXPECT_EQ(readparams(hp), 0);
    EXPECT_TRUE(fake::has_log("xmllib_unload_policy(nm) failed(ret:3)", LV_ERROR));
    EXPECT_EQ(thstacksz, 3 * kMinStackSize);
}

}  // namespace
