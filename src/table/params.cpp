// SPDX-License-Identifier: GPL-3.0-or-later
// The heartbeat parameters, read policy by policy so that only one policy is ever
// loaded; keys, defaults and corrections come from the shared parameter table.
//
// Thread safety: main thread only, before the worker threads exist (warnrate and
// thstacksz are read-only afterwards).
#include "rules/params.h"

#include <zvrxml.h>

#include <span>

#include "diag/tavik_log.h"
#include "tablebuild.h"

namespace {

constexpr int kResultPolicy = 6;

struct Target {
    rules::Key key;
    int *target;
};

struct Policy {
    const char *name;
    std::span<const Target> params;
};

// The message each correction gets; the operation named is the table build.
void logfix(const rules::Param &p, int from, const rules::Corrected &c) {
    switch (c.fix) {
        case rules::Fix::none:
        case rules::Fix::silent:
            break;
        case rules::Fix::invalid_ms:
            TLOG_OP(LV_ERROR, "loadinfo", "invalid %s(%d). set to %d msec.", p.name, from, c.value);
            break;
        case rules::Fix::zero_ms:
            TLOG_OP(LV_ERROR, "loadinfo", "%s(%d). set to %d msec.", p.name, from, c.value);
            break;
        case rules::Fix::negative:
            TLOG_OP(LV_ERROR, "loadinfo", "invalid %s(%d). set to 0.", p.name, from);
            break;
        case rules::Fix::under_minimum:
            TLOG_OP(LV_ERROR, "loadinfo", "under minimum %s(%d). set to %d.", p.name, from, c.value);
            break;
    }
}

// A failed read leaves the default, whatever the library may have put in the target.
void readparam(const Target &t) {
    const rules::Param &p = rules::param(t.key);
    int size = sizeof(int);
    if (int ret = xmllib_get_value(p.path, XMLLIB_TYPE_INT, t.target, &size); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "xmllib_get_value(%s) failed(ret:%d)", p.path, ret);
        *t.target = p.defval;
    }
    const rules::Corrected c = rules::correct(p, *t.target);
    logfix(p, *t.target, c);
    *t.target = c.value;
}

int readpolicy(const Policy &policy) {
    if (int ret = xmllib_load_policy(policy.name); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "xmllib_load_policy(%s) failed(ret:%d)", policy.name, ret);
        return kResultPolicy;
    }
    for (const Target &t : policy.params) {
        readparam(t);
    }
    if (int ret = xmllib_unload_policy(policy.name); ret != 0) {
        TLOG_OP(LV_ERROR, "loadinfo", "xmllib_unload_policy(%s) failed(ret:%d)", policy.name, ret);
    }
    return 0;
}

}  // namespace

int readparams(HbParams &hp) {
    using rules::Key;
    const Target all[] = {{Key::maxnode, &hp.maxnode}, {Key::maxrsc, &hp.maxrsc}};
    const Target nm[] = {{Key::hbto, &hp.hbto}, {Key::hbint, &hp.hbint}, {Key::warnrate, &warnrate}};
    const Target tavik[] = {{Key::stacksize, &thstacksz}};
    const Policy policies[] = {{"all", all}, {"nm", nm}, {"tavik", tavik}};
    for (const Policy &policy : policies) {
        if (int ret = readpolicy(policy); ret != 0) {
            return ret;
        }
    }
    return 0;
}
