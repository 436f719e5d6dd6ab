// SPDX-License-Identifier: GPL-3.0-or-later
// Builds heartbeat tables by hand for tests of the worker threads, and registers their
// resources and nodes with the fake IPC library so publications succeed.
#pragma once

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "fakes.h"
#include "tavik/tavik.h"

class TestTable {
  public:
    TestTable(int currsc, int curnode, int hbto = 90000, int hbint = 3000, int mypri = 1) {
        plist_.reset(static_cast<tavik_list_head *>(std::calloc(1, tablesize(currsc, curnode))));
        plist_->currsc = currsc;
        plist_->curnode = curnode;
        plist_->hbto = hbto;
        plist_->hbint = hbint;
        plist_->mypri = mypri;
        for (int i = 0; i < currsc; ++i) {
            std::snprintf(rsc(i)->name, sizeof rsc(i)->name, "hb%d", i + 1);
            fake::add_resource(rsc(i)->name, i + 1);
        }
        for (int j = 0; j < curnode; ++j) {
            fake::add_node("node" + std::to_string(j + 1), j + 1);
            for (int i = 0; i < currsc; ++i) {
                set_node(i, j, "127.0.1." + std::to_string(j + 1), RSCSV_OFFLINE);
            }
        }
    }

    tavik_list_head *get() { return plist_.get(); }
    tavik_list_rsc *rsc(int i) { return rscat(plist_.get(), i); }
    tavik_list_node *node(int i, int j) { return &nodesof(rsc(i))[j]; }

    // Node j of resource i: named nodeJ+1 with priority j+1, address ip (none when empty).
    void set_node(int i, int j, const std::string &ip, int stat) {
        tavik_list_node *n = node(i, j);
        std::snprintf(n->name, sizeof n->name, "node%d", j + 1);
        n->priority = j + 1;
        std::snprintf(n->ip, sizeof n->ip, "%s", ip.c_str());
        n->ip_int = 0;
        if (!ip.empty()) {
            inet_pton(AF_INET, ip.c_str(), &n->ip_int);
        }
        n->stat = stat;
    }

    static uint32_t addr(const std::string &ip) {
        uint32_t a = 0;
        inet_pton(AF_INET, ip.c_str(), &a);
        return a;
    }

  private:
    struct FreeDeleter {
        void operator()(void *p) const { std::free(p); }
    };
    std::unique_ptr<tavik_list_head, FreeDeleter> plist_;
};
