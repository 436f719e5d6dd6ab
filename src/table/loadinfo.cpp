// SPDX-License-Identifier: GPL-3.0-or-later
// Construction of the heartbeat table: the parameters, a counting pass over the
// cluster's resources and nodes that fixes the table's dimensions, one zero-filled
// allocation, the own host and its priority, the header, and four fill passes
// (resource names, node names, device ids, BMC addresses), then the start-up states.
//
// Every buffer is owned by a unique_ptr, so no failure path leaks: an enumeration list
// goes as soon as its walk is over, and a table abandoned half-built is released before
// loadinfo returns.
//
// Thread safety: main thread only, before the worker threads exist.
#include <arpa/inet.h>
#include <unistd.h>
#include <zvripc.h>
#include <zvrxml.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "diag/tavik_log.h"
#include "rules/targets.h"
#include "table.h"
#include "tablebuild.h"

const TableSys tablesys_default{std::calloc, std::free, ::gethostname};
TableSys tablesys = tablesys_default;

namespace {

constexpr int kResultMemory = 5;
constexpr int kResultOwnPriority = 11;
constexpr int kResultHostName = 12;

struct Release {
    void operator()(void *p) const noexcept { tablesys.release(p); }
};
using ListBuffer = std::unique_ptr<char, Release>;
using TableBuffer = std::unique_ptr<tavik_list_head, Release>;

// One of the two enumerations of the IPC library, with the result that names its failure.
struct Enumeration {
    const char *name;
    int failure;
    int (*call)(char *buf, int *size);
};

int enumrsc(char *buf, int *size) {
    return shmnm_enumrsc(TAVIK_RSC_TYPE, buf, size);
}

constexpr Enumeration kResources{"shmnm_enumrsc", 7, enumrsc};
constexpr Enumeration kNodes{"shmnm_enumnode", 8, shmnm_enumnode};

// The list buffer has two zero bytes beyond the size the library reported, so a walk
// ends inside it even when the list was not closed (or shrank between the two calls).
int fetchlist(const Enumeration &e, ListBuffer &pmulti) {
    int szmulti = 0;
    int ret = e.call(nullptr, &szmulti);
    if (ret != 0 || szmulti <= 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "%s() failed(ret:%d)", e.name, ret);
        return e.failure;
    }
    pmulti.reset(static_cast<char *>(tablesys.calloc(static_cast<std::size_t>(szmulti) + 2, 1)));
    if (!pmulti) {
        TLOG_OP(LV_ERROR, "loadinfo", "malloc(%d) failed(errno:%d)", szmulti, errno);
        return kResultMemory;
    }
    if (ret = e.call(pmulti.get(), &szmulti); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "%s() failed(ret:%d)", e.name, ret);
        pmulti.reset();
        return e.failure;
    }
    return 0;
}

int countpass(const Enumeration &e, int &count) {
    ListBuffer pmulti;
    if (int ret = fetchlist(e, pmulti); ret != 0) {
        return ret;
    }
    count = 0;
    for (const char *pname = mszfirst(pmulti.get()); pname != nullptr; pname = msznext(pname)) {
        ++count;
    }
    return 0;
}

// Copies a name, cut to fit with its NUL.
template <std::size_t N>
void copyname(char (&dst)[N], const char *src) {
    std::size_t n = strnlen(src, N - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

struct Build {
    HbParams params;
    int currsc = 0;
    int curnode = 0;
    TableBuffer plist;
    char myname[256] = {};
    int mypri = 0;
};

int allocate(Build &b) {
    std::size_t total = tablesize(b.currsc, b.curnode);
    if (total > INT_MAX) {
        TLOG_OP(LV_ERROR, "loadinfo", "table too large(currsc:%d,curnode:%d)", b.currsc, b.curnode);
        return kResultMemory;
    }
    int size = static_cast<int>(total);
    b.plist.reset(static_cast<tavik_list_head *>(tablesys.calloc(1, total)));
    if (!b.plist) {
        TLOG_OP(LV_ERROR, "loadinfo", "malloc(%d) failed(errno:%d)", size, errno);
        return kResultMemory;
    }
    TLOG_OP(LV_ERROR, "loadinfo", "plist(0x%08x):TOTAL(%d)=H(%d)+R(%d*%d)+N(%d*%d*%d)",
            static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(b.plist.get())), size, TAVIK_HEAD_SIZE,
            TAVIK_SLOT_SIZE, b.currsc, TAVIK_SLOT_SIZE, b.curnode, b.currsc);
    return 0;
}

// The own node is looked up by the host name without its domain part.
int ownhost(char (&myname)[256]) {
    std::memset(myname, 0, sizeof myname);
    if (tablesys.gethostname(myname, sizeof myname) != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "gethostname() failed(errno:%d)", errno);
        return kResultHostName;
    }
    myname[sizeof myname - 1] = '\0';
    if (char *pdot = std::strchr(myname, '.'); pdot != nullptr) {
        *pdot = '\0';
    }
    return 0;
}

int ownpriority(const char *myname, int &mypri) {
    if (int ret = shmnm_getnodepri(myname, &mypri); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "shmnm_getnodepri() failed(ret:%d)", ret);
        return kResultOwnPriority;
    }
    return 0;
}

void storeheader(const Build &b) {
    tavik_list_head *plist = b.plist.get();
    plist->maxnode = b.params.maxnode;
    plist->maxrsc = b.params.maxrsc;
    plist->curnode = b.curnode;
    plist->currsc = b.currsc;
    plist->hbto = b.params.hbto;
    plist->hbint = b.params.hbint;
    plist->mypri = b.mypri;
    TLOG_OP(LV_ERROR, "loadinfo", "maxnode:%d,maxrsc:%d", plist->maxnode, plist->maxrsc);
    TLOG_OP(LV_ERROR, "loadinfo", "currsc:%d,curnode:%d", plist->currsc, plist->curnode);
    TLOG_OP(LV_ERROR, "loadinfo", "hbto:%d(msec),hbint:%d(msec),warnrate:%d", plist->hbto, plist->hbint,
            warnrate);
    TLOG_OP(LV_ERROR, "loadinfo", "thstacksz:%d", thstacksz);
}

void fillresource(tavik_list_rsc *prsc, const char *pname) {
    copyname(prsc->name, pname);
    int priority = 0;
    if (int ret = shmnm_getrscpri(TAVIK_RSC_TYPE, prsc->name, &priority); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "shmnm_getrscpri(%s) failed(ret:%d)", prsc->name, ret);
        priority = -1;
    }
    prsc->priority = priority;
    TLOG_OP(LV_DETAIL, "loadinfo", "rsc:%s,pri:%d", pname, prsc->priority);
}

// A list longer than at counting time is cut at currsc entries; a shorter one leaves the
// remaining records nameless.
int fillresources(tavik_list_head *plist) {
    ListBuffer pmulti;
    if (int ret = fetchlist(kResources, pmulti); ret != 0) {
        return ret;
    }
    int i = 0;
    for (const char *pname = mszfirst(pmulti.get()); pname != nullptr && i < plist->currsc;
         pname = msznext(pname), ++i) {
        fillresource(rscat(plist, i), pname);
    }
    return 0;
}

void fillnode(const tavik_list_rsc *prsc, tavik_list_node *pnode, const char *pname) {
    copyname(pnode->name, pname);
    int priority = 0;
    if (int ret = shmnm_getnodepri(pnode->name, &priority); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "shmnm_getnodepri(%s) failed(ret:%d)", pnode->name, ret);
        priority = -1;
    }
    pnode->priority = priority;
    TLOG_OP(LV_ERROR, "loadinfo", "rsc:%s(pri:%d),node:%s(pri:%d)", prsc->name, prsc->priority, pname,
            pnode->priority);
}

// Every block gets the same nodes in the same order, each looked up once per block.
int fillnodes(tavik_list_head *plist) {
    ListBuffer pmulti;
    if (int ret = fetchlist(kNodes, pmulti); ret != 0) {
        return ret;
    }
    for (int i = 0; i < plist->currsc; ++i) {
        tavik_list_rsc *prsc = rscat(plist, i);
        tavik_list_node *pnode = nodesof(prsc);
        int j = 0;
        for (const char *pname = mszfirst(pmulti.get()); pname != nullptr && j < plist->curnode;
             pname = msznext(pname), ++j) {
            fillnode(prsc, &pnode[j], pname);
        }
    }
    return 0;
}

// No policy is loaded here: the keys under /root/heartbeat/ need none.
void filldevids(tavik_list_head *plist) {
    for (int i = 0; i < plist->currsc; ++i) {
        tavik_list_rsc *prsc = rscat(plist, i);
        char xmlpath[1024];
        (void)std::snprintf(xmlpath, sizeof xmlpath, "/root/heartbeat/%s@%s/device", TAVIK_RSC_TYPE,
                            prsc->name);
        int devid = 0;
        int size = sizeof devid;
        if (int ret = xmllib_get_value(xmlpath, XMLLIB_TYPE_INT, &devid, &size); ret != 0) {
            TLOG_OP(LV_ERROR, "loadinfo", "xmllib_get_value(%s) failed(ret:%d)", xmlpath, ret);
            devid = -1;
        }
        prsc->devid = devid;
    }
}

// The text is kept NUL-terminated within its 46 bytes whatever the library returned, and
// a mask suffix is dropped with everything after it.
void readaddress(const tavik_list_rsc *prsc, tavik_list_node *pnode) {
    char xmlpath[1024];
    (void)std::snprintf(xmlpath, sizeof xmlpath, "/root/server@%s/device@%d/info", pnode->name, prsc->devid);
    int size = sizeof pnode->ip;
    if (int ret = xmllib_get_value(xmlpath, XMLLIB_TYPE_STRING, pnode->ip, &size); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "xmllib_get_value(%s) failed(ret:%d)", xmlpath, ret);
        std::memset(pnode->ip, 0, sizeof pnode->ip);
    }
    pnode->ip[sizeof pnode->ip - 1] = '\0';
    if (char *pmask = std::strchr(pnode->ip, '/'); pmask != nullptr) {
        std::memset(pmask, 0, static_cast<std::size_t>(pnode->ip + sizeof pnode->ip - pmask));
    }
    in_addr addrtmp{};
    if (inet_pton(AF_INET, pnode->ip, &addrtmp) != 1) {
        TLOG_OP(LV_DETAIL, "loadinfo", "IP address is invalid(rsc:%s,node:%s)", prsc->name, pnode->name);
        return;
    }
    std::memcpy(&pnode->ip_int, &addrtmp, sizeof pnode->ip_int);
}

void filladdresses(tavik_list_head *plist) {
    for (int i = 0; i < plist->currsc; ++i) {
        tavik_list_rsc *prsc = rscat(plist, i);
        if (!rules::resourceactive(prsc->devid)) {
            TLOG_OP(LV_WARN, "loadinfo", "device id(%d) is invalid", prsc->devid);
            continue;
        }
        tavik_list_node *pnode = nodesof(prsc);
        for (int j = 0; j < plist->curnode; ++j) {
            readaddress(prsc, &pnode[j]);
            if (pnode[j].priority == plist->mypri) {
                copyname(prsc->myip, pnode[j].ip);
                copyname(prsc->myname, pnode[j].name);
                TLOG_OP(LV_ERROR, "loadinfo", "rsc=%s,ownnode=%s(pri=%d,ip=%s)", prsc->name, pnode[j].name,
                        plist->mypri, prsc->myip);
            }
            TLOG_OP(LV_ERROR, "loadinfo", "rsc:%s,node:%s(IP=%s)", prsc->name, pnode[j].name, pnode[j].ip);
        }
    }
}

int build(Build &b) {
    if (int ret = readparams(b.params); ret != 0) {
        return ret;
    }
    if (int ret = countpass(kResources, b.currsc); ret != 0) {
        return ret;
    }
    if (int ret = countpass(kNodes, b.curnode); ret != 0) {
        return ret;
    }
    if (int ret = allocate(b); ret != 0) {
        return ret;
    }
    if (int ret = ownhost(b.myname); ret != 0) {
        return ret;
    }
    if (int ret = ownpriority(b.myname, b.mypri); ret != 0) {
        return ret;
    }
    storeheader(b);
    if (int ret = fillresources(b.plist.get()); ret != 0) {
        return ret;
    }
    if (int ret = fillnodes(b.plist.get()); ret != 0) {
        return ret;
    }
    filldevids(b.plist.get());
    filladdresses(b.plist.get());
    initstates(b.plist.get(), b.myname);
    return 0;
}

}  // namespace

int loadinfo(tavik_list_head **pphead) {
    TLOG_ENTER();
    Build b;
    int ret = build(b);
    if (ret == 0) {
        *pphead = b.plist.release();
    }
    TLOG_EXIT(ret);
    return ret;
}
