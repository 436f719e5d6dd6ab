// SPDX-License-Identifier: GPL-3.0-or-later
// Walking multi-string lists: the four functions agree on every list, empty entries
// count only first, and nothing past the closing double NUL is read (each list sits at
// the very end of its own heap block, so the address sanitizer sees any over-read).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "table/table.h"

namespace {

struct MszCase {
    const char *name;
    std::string bytes;  // the whole list, both closing NULs included
    std::vector<std::string> entries;
};

void PrintTo(const MszCase &c, std::ostream *os) {
    *os << c.name;
}

class MszTest : public testing::TestWithParam<MszCase> {};

TEST_P(MszTest, WalkSizeAndCountAgree) {
    const MszCase &c = GetParam();
    auto buf = std::make_unique<char[]>(c.bytes.size());
    std::memcpy(buf.get(), c.bytes.data(), c.bytes.size());

    std::vector<std::string> walked;
    for (const char *p = mszfirst(buf.get()); p != nullptr; p = msznext(p)) {
        ASSERT_GE(p, buf.get());
        ASSERT_LT(p, buf.get() + c.bytes.size());
        walked.emplace_back(p);
    }
    EXPECT_EQ(walked, c.entries);
    EXPECT_EQ(mszsize(buf.get()), static_cast<int>(c.bytes.size()));
    EXPECT_EQ(mszstrn(buf.get()), static_cast<int>(c.entries.size()));
    if (c.entries.empty()) {
        EXPECT_EQ(msznext(buf.get()), nullptr);
    } else {
        EXPECT_EQ(mszfirst(buf.get()), buf.get());
    }
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(Msz, MszTest,
                         testing::Values(MszCase{"Empty", "\0\0"s, {}},
                                         MszCase{"OneEntry", "abc\0\0"s, {"abc"}},
                                         MszCase{"TwoEntries", "ab\0cd\0\0"s, {"ab", "cd"}},
                                         MszCase{"LeadingEmptyEntry", "\0abc\0\0"s, {"", "abc"}},
                                         MszCase{"SingleCharacters", "a\0b\0c\0\0"s, {"a", "b", "c"}},
                                         MszCase{"LeadingEmptyThenTwo", "\0a\0bc\0\0"s, {"", "a", "bc"}}),
                         [](const testing::TestParamInfo<MszCase> &param_info) {
                             return std::string(param_info.param.name);
                         });

TEST(Msz, StopsAtTheFirstDoubleNulWhateverFollows) {
    const char list[] = "ab\0\0cd\0\0";  // a second list after the first
    EXPECT_EQ(mszsize(list), 4);
    EXPECT_EQ(mszstrn(list), 1);
    EXPECT_EQ(msznext(list), nullptr);
}

}  // namespace
