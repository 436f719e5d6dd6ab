// SPDX-License-Identifier: GPL-3.0-or-later
// Where the typed accessors find resources and nodes in one table allocation, and that
// the unaligned tick fields hold their values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "tavik/tavik.h"

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

std::unique_ptr<tavik_list_head, FreeDeleter> table(int currsc, int curnode) {
    auto *plist = static_cast<tavik_list_head *>(std::calloc(1, tablesize(currsc, curnode)));
    plist->currsc = currsc;
    plist->curnode = curnode;
    return std::unique_ptr<tavik_list_head, FreeDeleter>(plist);
}

std::ptrdiff_t offset(const void *base, const void *p) {
    return static_cast<const char *>(p) - static_cast<const char *>(base);
}

TEST(TableLayout, BlocksAndNodesSitWhereTheSizesPutThem) {
    EXPECT_EQ(tablesize(2, 3), 2844u);
    EXPECT_EQ(tablesize(0, 5), 28u);
    EXPECT_EQ(tablesize(3, 0), 28u + 3 * 352);
    auto plist = table(2, 3);
    tavik_list_rsc *r1 = rscat(plist.get(), 1);
    EXPECT_EQ(offset(plist.get(), r1), 1436);
    EXPECT_EQ(offset(plist.get(), &nodesof(r1)[2]), 2492);
    EXPECT_EQ(offset(plist.get(), &nodesof(rscat(plist.get(), 0))[0]), 28 + 352);
}

TEST(TableLayout, UnalignedTickFieldsKeepTheirValues) {
    auto plist = table(1, 2);
    tavik_list_node *node = &nodesof(rscat(plist.get(), 0))[1];
    ASSERT_NE(reinterpret_cast<uintptr_t>(&node->lastrecv) % 8, 0u) << "the test wants an unaligned field";
    const clock_t values[] = {0, 1, -1, 0x7fffffffffffffffLL, static_cast<clock_t>(0x8000000000000000ULL)};
    for (clock_t v : values) {
        node->lastrecv = v;
        EXPECT_EQ(static_cast<clock_t>(node->lastrecv), v);
    }
    node->lastrecv = 42;
    EXPECT_EQ(node->stat, 0) << "writing a tick field must not spill into its neighbours";
    EXPECT_EQ(static_cast<clock_t>(node->sclock), 0);
}

}  // namespace
