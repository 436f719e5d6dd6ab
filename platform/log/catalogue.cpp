// SPDX-License-Identifier: GPL-3.0-or-later
// Event catalogue entries and their texts. A caller's variadic arguments are read only
// through an entry's parameter list: reading one more, or one of another type, than the
// caller passed is undefined behaviour, so a number without an entry reads none. Constant
// data and pure functions: safe from any thread.
#include "catalogue.h"

#include <syslog.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <span>

#include "record.h"
#include "zvrlog.h"

namespace zvrlog {
namespace {

enum class Param { String, Int, Long, ULongLong };

struct Arg {
    const char *s = nullptr;
    long long i = 0;
    unsigned long long u = 0;
};

struct Event {
    int msgid;
    int priority;
    std::span<const Param> params;
    void (*render)(std::string &out, const Arg *args);
};

template <typename T>
void number(std::string &out, T v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void string(std::string &out, const char *s) {
    append_escaped(out, s != nullptr ? std::string_view(s) : std::string_view("(null)"), false);
}

// Ticks as seconds with two decimals ("73.05"); the rate is the caller's `tckconf`, so a
// zero or negative one is reported rather than divided by.
void seconds(std::string &out, unsigned long long ticks, long long rate) {
    auto r = static_cast<unsigned long long>(rate);
    number(out, ticks / r);
    auto hundredths = static_cast<unsigned>(static_cast<unsigned __int128>(ticks % r) * 100 / r);
    out.push_back('.');
    out.push_back(static_cast<char>('0' + hundredths / 10));
    out.push_back(static_cast<char>('0' + hundredths % 10));
}

void render_bmc_init(std::string &out, const Arg *) {
    out.append(
        "the BMC library or the BMC could not be initialised: this node runs without BMC heartbeat "
        "checking");
}

// rsc, node, effective time-out in s, ticks per second, interval in ticks, warning rate %.
void render_heartbeat_delay(std::string &out, const Arg *a) {
    out.append("heartbeat delay: rsc(");
    string(out, a[0].s);
    out.append(")/node(");
    string(out, a[1].s);
    out.append("): ");
    if (a[3].i > 0) {
        seconds(out, a[4].u, a[3].i);
        out.append(" s (");
        number(out, a[4].u);
        out.append(" ticks at ");
        number(out, a[3].i);
        out.append(" per second)");
    } else {
        number(out, a[4].u);
        out.append(" ticks (clock rate ");
        number(out, a[3].i);
        out.append(" per second)");
    }
    out.append(" between two heartbeats reached ");
    number(out, a[5].i);
    out.append("% of the time-out of ");
    number(out, a[2].i);
    out.append(" s");
}

constexpr std::array<Param, 0> kNoParams{};
constexpr std::array kDelayParams{Param::String, Param::String,    Param::Int,
                                  Param::Long,   Param::ULongLong, Param::Int};

constexpr std::array kCatalogue{
    Event{LOG_EVENT_BMC_INIT_FAILED, LOG_ERR, kNoParams, render_bmc_init},
    Event{LOG_EVENT_HEARTBEAT_DELAY, LOG_WARNING, kDelayParams, render_heartbeat_delay},
};

constexpr std::size_t kMaxParams = 8;
static_assert([] {
    for (const Event &e : kCatalogue) {
        if (e.params.size() > kMaxParams) {
            return false;
        }
    }
    return true;
}());

}  // namespace

int append_event(std::string &out, int msgid, va_list ap) {
    out.push_back('[');
    number(out, msgid);
    out.append("] ");
    for (const Event &e : kCatalogue) {
        if (e.msgid != msgid) {
            continue;
        }
        std::array<Arg, kMaxParams> args{};
        for (std::size_t n = 0; n < e.params.size() && n < kMaxParams; ++n) {
            switch (e.params[n]) {
                case Param::String:
                    args[n].s = va_arg(ap, const char *);
                    break;
                case Param::Int:
                    args[n].i = va_arg(ap, int);
                    break;
                case Param::Long:
                    args[n].i = va_arg(ap, long);
                    break;
                case Param::ULongLong:
                    args[n].u = va_arg(ap, unsigned long long);
                    break;
            }
        }
        e.render(out, args.data());
        return e.priority;
    }
    out.append("unknown event message (no catalogue entry: parameters not read)");
    return LOG_NOTICE;
}

}  // namespace zvrlog
