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
    {Key::maxnode,   "all",   "/root/all/num/server",              32,            nullptr,     nullptr,         nullptr},
    {Key::maxrsc,    "all",   "/root/all/num/hbr",                 128,           nullptr,     nullptr,         nullptr},
    {Key::hbto,      "nm",    "/root/cluster/heartbeat/timeout",   kDefaultHbto,  "HBTO",      correcthbto,     nullptr},
    {Key::hbint,     "nm",    "/root/cluster/heartbeat/interval",  kDefaultHbint, "HBINT",     correcthbint,    nullptr},
    {Key::warnrate,  "nm",    "/root/cluster/delaywarn/heartbeat", 80,            nullptr,     correctwarnrate, nullptr},
    {Key::stacksize, "tavik", "/root/tavik/thread/stacksize",      0,             "STACKSIZE", correctstacksz,  "the system's default"},
    {Key::nice,      "tavik", "/root/tavik/nice",                  -20,           nullptr,     nullptr,         nullptr},
    {Key::schedule,  "tavik", "/root/tavik/sched/schedule",        0,             nullptr,     nullptr,         nullptr},
    {Key::priority,  "tavik", "/root/tavik/sched/priority",        0,             nullptr,     nullptr,         nullptr},
    {Key::watchth,   "tavik", "/root/tavik/watchth",               1,             nullptr,     nullptr,         nullptr},
    {Key::loglevel,  "tavik", "/root/tavik/log/level",             4,             nullptr,     nullptr,         nullptr},
    {Key::logsize,   "tavik", "/root/tavik/log/size",              1000000,       nullptr,     nullptr,         nullptr},
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
