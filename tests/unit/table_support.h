// SPDX-License-Identifier: GPL-3.0-or-later
// Shared set-up of the heartbeat-table tests: a fresh fake cluster and process state per
// test, a spy on table construction's allocations (to inject failures and to see what
// stays allocated), and hand-built tables for the phases that work on a filled one.
// Single-threaded tests only.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>
#include <zvrxml.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "diag/tavik_log.h"
#include "fakes.h"
#include "table/tablebuild.h"
#include "tavik/tavik.h"

namespace tabletest {

// Counts live allocations of table construction; the nth calloc (1-based) can fail.
struct AllocSpy {
    static inline int live = 0;
    static inline int calls = 0;
    static inline int failat = 0;
    static inline std::string host;  // answered by hostname() below

    static void *calloc(std::size_t count, std::size_t size) {
        if (++calls == failat) {
            errno = ENOMEM;
            return nullptr;
        }
        ++live;
        return std::calloc(count, size);
    }
    static void release(void *p) {
        live -= p != nullptr;
        std::free(p);
    }
    static int hostname(char *name, std::size_t len) {
        std::snprintf(name, len, "%s", host.c_str());
        return 0;
    }
};

// The host name as loadinfo sees it: the real one, cut at its first dot.
inline std::string realhost() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    if (char *dot = std::strchr(host, '.'); dot != nullptr) {
        *dot = '\0';
    }
    return host;
}

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Table = std::unique_ptr<tavik_list_head, FreeDeleter>;

// A table as the fill passes leave it: one block per resource, the same nodes in each.
struct NodeSpec {
    std::string name;
    int priority;
    std::string ip;  // empty: no BMC address
};
inline Table handtable(const std::vector<std::string> &rscs, const std::vector<NodeSpec> &nodes, int mypri) {
    int currsc = static_cast<int>(rscs.size());
    int curnode = static_cast<int>(nodes.size());
    Table t(static_cast<tavik_list_head *>(std::calloc(1, tablesize(currsc, curnode))));
    t->currsc = currsc;
    t->curnode = curnode;
    t->mypri = mypri;
    for (int i = 0; i < currsc; ++i) {
        tavik_list_rsc *prsc = rscat(t.get(), i);
        std::snprintf(prsc->name, sizeof prsc->name, "%s", rscs[static_cast<size_t>(i)].c_str());
        for (int j = 0; j < curnode; ++j) {
            const NodeSpec &n = nodes[static_cast<size_t>(j)];
            tavik_list_node &e = nodesof(prsc)[j];
            std::snprintf(e.name, sizeof e.name, "%s", n.name.c_str());
            std::snprintf(e.ip, sizeof e.ip, "%s", n.ip.c_str());
            e.priority = n.priority;
        }
    }
    return t;
}

// Texts of the level-1 records containing `part`, in order.
inline std::vector<std::string> logtexts(const std::string &part, int level = 1) {
    std::vector<std::string> out;
    for (const auto &r : fake::logs()) {
        if (r.level == level && r.text.find(part) != std::string::npos) {
            out.push_back(r.text);
        }
    }
    return out;
}

// Index of the first recorded call named `name` (with `args` when not empty), or -1.
inline int callindex(const std::string &name, const std::string &args = "", bool last = false) {
    auto calls = fake::calls();
    int found = -1;
    for (int i = 0; i < static_cast<int>(calls.size()); ++i) {
        const auto &c = calls[static_cast<size_t>(i)];
        if (c.name == name && (args.empty() || c.args == args)) {
            found = i;
            if (!last) {
                break;
            }
        }
    }
    return found;
}

class TableTest : public testing::Test {
  protected:
    // The calls the test made, without those of opening the log channel.
    std::vector<fake::Call> testcalls() const {
        auto all = fake::calls();
        return {all.begin() + static_cast<std::ptrdiff_t>(setupcalls_), all.end()};
    }
    int counttest(const std::string &name, const std::string &args = "") const {
        int n = 0;
        for (const auto &c : testcalls()) {
            n += c.name == name && (args.empty() || c.args == args);
        }
        return n;
    }

    void SetUp() override {
        fake::reset();
        tavik_reset_globals();
        ASSERT_EQ(xmllib_init("tavik"), 0);
        ASSERT_EQ(xmllib_load_config(), 0);
        AllocSpy::live = 0;
        AllocSpy::calls = 0;
        AllocSpy::failat = 0;
        tablesys = {AllocSpy::calloc, AllocSpy::release, tablesys_default.gethostname};
        tavik_loginit();
        setupcalls_ = fake::calls().size();
    }
    void TearDown() override {
        tavik_logterm();
        tablesys = tablesys_default;
        xmllib_unload_config();
        xmllib_term();
    }

  private:
    std::size_t setupcalls_ = 0;
};

}  // namespace tabletest
