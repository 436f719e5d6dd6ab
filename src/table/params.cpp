// SPDX-License-Identifier: GPL-3.0-or-later
// The heartbeat parameters: one table of policy, key, target, default and correction,
// read policy by policy so that only one policy is ever loaded.
//
// Thread safety: main thread only, before the worker threads exist (warnrate and
// thstacksz are read-only afterwards).
#include <zvrxml.h>

#include <span>

#include "diag/tavik_log.h"
#include "stackmin.h"
#include "tablebuild.h"

namespace {

constexpr int kResultPolicy = 6;
constexpr int kDefaultHbto = 90000;
constexpr int kDefaultHbint = 3000;
constexpr int kZeroHbint = 100;
constexpr int kMinStack = kMinStackSize;  // what FreeIPMI needs (stackmin.h)

void correcthbto(int &v) {
    if (v < 1) {
        TLOG(LV_ERROR, "invalid HBTO(%d). set to %d msec.", v, kDefaultHbto);
        v = kDefaultHbto;
    }
}

void correcthbint(int &v) {
    if (v < 0) {
        TLOG(LV_ERROR, "invalid HBINT(%d). set to %d msec.", v, kDefaultHbint);
        v = kDefaultHbint;
    } else if (v == 0) {
        TLOG(LV_ERROR, "HBINT(%d). set to %d msec.", v, kZeroHbint);
        v = kZeroHbint;
    }
}

// A rate is a percentage; nothing is worth a message here.
void correctwarnrate(int &v) {
    if (v <= 0) {
        v = 0;
    } else if (v > 99) {
        v = 100;
    }
}

void correctstacksz(int &v) {
    if (v < 0) {
        TLOG(LV_ERROR, "invalid STACKSIZE(%d). set to 0.", v);
        v = 0;
    }
    if (v >= 1 && v < kMinStack) {
        TLOG(LV_ERROR, "under minimum STACKSIZE(%d). set to %d.", v, kMinStack);
        v = kMinStack;
    }
}

struct Param {
    const char *key;
    int *target;
    int defval;
    void (*correct)(int &value);  // null: any value read is kept
};

struct Policy {
    const char *name;
    std::span<const Param> params;
};

// A failed read leaves the default, whatever the library may have put in the target.
void readparam(const Param &p) {
    int size = sizeof(int);
    if (int ret = xmllib_get_value(p.key, XMLLIB_TYPE_INT, p.target, &size); ret != 0) {
        TLOG(LV_ERROR, "xmllib_get_value(%s) failed(ret:%d)", p.key, ret);
        *p.target = p.defval;
    }
    if (p.correct != nullptr) {
        p.correct(*p.target);
    }
}

int readpolicy(const Policy &policy) {
    if (int ret = xmllib_load_policy(policy.name); ret != 0) {
        TLOG(LV_ERROR, "xmllib_load_policy(%s) failed(ret:%d)", policy.name, ret);
        return kResultPolicy;
    }
    for (const Param &p : policy.params) {
        readparam(p);
    }
    if (int ret = xmllib_unload_policy(policy.name); ret != 0) {
        TLOG(LV_ERROR, "xmllib_unload_policy(%s) failed(ret:%d)", policy.name, ret);
    }
    return 0;
}

}  // namespace

int readparams(HbParams &hp) {
    const Param all[] = {
        {"/root/all/num/server", &hp.maxnode, 32, nullptr},
        {"/root/all/num/hbr", &hp.maxrsc, 128, nullptr},
    };
    const Param nm[] = {
        {"/root/cluster/heartbeat/timeout", &hp.hbto, kDefaultHbto, correcthbto},
        {"/root/cluster/heartbeat/interval", &hp.hbint, kDefaultHbint, correcthbint},
        {"/root/cluster/delaywarn/heartbeat", &warnrate, 80, correctwarnrate},
    };
    const Param tavik[] = {
        {"/root/tavik/thread/stacksize", &thstacksz, 0, correctstacksz},
    };
    const Policy policies[] = {{"all", all}, {"nm", nm}, {"tavik", tavik}};
    for (const Policy &policy : policies) {
        if (int ret = readpolicy(policy); ret != 0) {
            return ret;
        }
    }
    return 0;
}
