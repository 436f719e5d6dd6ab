// SPDX-License-Identifier: GPL-3.0-or-later
// The parameter table and its corrections.
#include "params.h"

#include <cstddef>
#include <iterator>

#include "stackmin.h"

namespace rules {
namespace {

constexpr int kDefaultHbto = 90000;
constexpr int kDefaultHbint = 3000;
constexpr int kZeroHbint = 100;
constexpr int kMaxRtPriority = 99;
constexpr int kFallbackRtPriority = 1;

Corrected correcthbto(int v) {
    return v < 1 ? Corrected{kDefaultHbto, Fix::invalid_ms} : Corrected{v, Fix::none};
}

Corrected correcthbint(int v) {
    if (v < 0) {
        return {kDefaultHbint, Fix::invalid_ms};
    }
    return v == 0 ? Corrected{kZeroHbint, Fix::zero_ms} : Corrected{v, Fix::none};
}

// A rate is a percentage: 0 switches the warning's threshold to nothing, 100 is the
// whole time-out.
Corrected correctwarnrate(int v) {
    if (v < 0) {
        return {0, Fix::silent};
    }
    return v > 100 ? Corrected{100, Fix::silent} : Corrected{v, Fix::none};
}

Corrected correctstacksz(int v) {
    if (v < 0) {
        return {0, Fix::negative};
    }
    return v >= 1 && v < kMinStackSize ? Corrected{kMinStackSize, Fix::under_minimum}
                                       : Corrected{v, Fix::none};
}

// clang-format off
constexpr Param kParams[] = {
    {Key::maxnode,    32,             "all",    "/root/all/num/server",               nullptr,      nullptr,          nullptr},
    {Key::maxrsc,     128,            "all",    "/root/all/num/hbr",                  nullptr,      nullptr,          nullptr},
    {Key::hbto,       kDefaultHbto,   "nm",     "/root/cluster/heartbeat/timeout",    "HBTO",       correcthbto,      nullptr},
    {Key::hbint,      kDefaultHbint,  "nm",     "/root/cluster/heartbeat/interval",   "HBINT",      correcthbint,     nullptr},
    {Key::warnrate,   80,             "nm",     "/root/cluster/delaywarn/heartbeat",  nullptr,      correctwarnrate,  nullptr},
    {Key::stacksize,  0,              "tavik",  "/root/tavik/thread/stacksize",       "STACKSIZE",  correctstacksz,   "the system's default"},
    {Key::nice,       -20,            "tavik",  "/root/tavik/nice",                   nullptr,      nullptr,          nullptr},
    {Key::schedule,   0,              "tavik",  "/root/tavik/sched/schedule",         nullptr,      nullptr,          nullptr},
    {Key::priority,   0,              "tavik",  "/root/tavik/sched/priority",         nullptr,      nullptr,          nullptr},
    {Key::watchth,    1,              "tavik",  "/root/tavik/watchth",                nullptr,      nullptr,          nullptr},
    {Key::loglevel,   4,              "tavik",  "/root/tavik/log/level",              nullptr,      nullptr,          nullptr},
    {Key::logsize,    1000000,        "tavik",  "/root/tavik/log/size",               nullptr,      nullptr,          nullptr},
};
// clang-format on

constexpr bool in_key_order() {
    for (std::size_t i = 0; i < std::size(kParams); ++i) {
        if (kParams[i].id != static_cast<Key>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(in_key_order(), "param() indexes the table by Key");

}  // namespace

std::span<const Param> params() {
    return kParams;
}

const Param &param(Key id) {
    return kParams[static_cast<std::size_t>(id)];
}

const Param *find_param(std::string_view path) {
    for (const Param &p : kParams) {
        if (path == p.path) {
            return &p;
        }
    }
    return nullptr;
}

Corrected correct(const Param &p, int value) {
    return p.correct != nullptr ? p.correct(value) : Corrected{value, Fix::none};
}

int rtpriority(int schedule, int priority) {
    if (schedule != 0 && (priority <= 0 || priority > kMaxRtPriority)) {
        return kFallbackRtPriority;
    }
    return priority;
}

}  // namespace rules
