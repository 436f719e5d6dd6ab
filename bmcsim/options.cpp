// SPDX-License-Identifier: GPL-3.0-or-later
// The firmware's options: the text the module is loaded with (and the launcher checks
// before it starts anything), and the address helpers they share with the firmware.
// Pure functions: safe from any thread.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "firmware.h"

namespace tavik::bmcsim {

using namespace bmcproto;

std::string format_ip(const Ip4 &ip) {
    return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) + "." +
           std::to_string(ip[3]);
}

bool parse_ip(std::string_view text, Ip4 &out) {
    std::string s(text);
    in_addr a{};
    if (inet_pton(AF_INET, s.c_str(), &a) != 1) {
        return false;
    }
    std::memcpy(out.data(), &a, 4);
    return true;
}

namespace {

// Unsigned number in decimal or 0x hex, within [lo, hi].
bool parse_uint(std::string_view s, unsigned long lo, unsigned long hi, unsigned long &out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) {
        return false;
    }
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
    return ec == std::errc() && end == s.data() + s.size() && out >= lo && out <= hi;
}

bool parse_refusal(std::string_view v, std::uint8_t &cmd, Refusal &r) {
    auto c1 = v.find(':');
    if (c1 == std::string_view::npos) {
        return false;
    }
    auto rest = v.substr(c1 + 1);
    auto c2 = rest.find(':');
    unsigned long ucmd = 0, ucc = 0, ucount = 0;
    if (!parse_uint(v.substr(0, c1), 0, 255, ucmd) || !parse_uint(rest.substr(0, c2), 1, 255, ucc)) {
        return false;
    }
    if (c2 != std::string_view::npos && !parse_uint(rest.substr(c2 + 1), 0, 255, ucount)) {
        return false;
    }
    if (ucmd == kCmdTestControl) {
        return false;  // the hooks must stay reachable
    }
    cmd = static_cast<std::uint8_t>(ucmd);
    r.cc = static_cast<std::uint8_t>(ucc);
    r.remaining = static_cast<unsigned>(ucount);
    return true;
}

// PCT[:MAXMS]: a percentage and the longest stretch of loss in milliseconds.
bool parse_loss(std::string_view v, std::uint8_t &pct, std::uint32_t &max_ms) {
    const auto colon = v.find(':');
    unsigned long upct = 0, umax = 0;
    if (!parse_uint(v.substr(0, colon), 0, 100, upct)) {
        return false;
    }
    if (colon != std::string_view::npos && !parse_uint(v.substr(colon + 1), 0, kMaxLossStretchMs, umax)) {
        return false;
    }
    pct = static_cast<std::uint8_t>(upct);
    max_ms = static_cast<std::uint32_t>(umax);
    return true;
}

}  // namespace

bool parse_options(std::string_view text, Options &out, std::string &err) {
    Options opt;
    bool have_addr = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
            ++pos;
        }
        if (pos >= text.size()) {
            break;
        }
        std::size_t end = pos;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        std::string_view word = text.substr(pos, end - pos);
        pos = end;
        auto eq = word.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            err = "option '" + std::string(word) + "' is not key=value";
            return false;
        }
        std::string_view key = word.substr(0, eq), val = word.substr(eq + 1);
        unsigned long n = 0;
        bool ok = true;
        if (key == "addr") {
            ok = parse_ip(val, opt.addr) && opt.addr != Ip4{};
            have_addr = ok;
        } else if (key == "hbport") {
            ok = parse_uint(val, 1, 65535, n);
            opt.hb_port = static_cast<std::uint16_t>(n);
        } else if (key == "period_ms") {
            ok = parse_uint(val, 10, 60000, n);
            opt.period_ms = static_cast<std::uint32_t>(n);
        } else if (key == "access_timeout") {
            ok = parse_uint(val, 0, 65535, n);
            opt.access_timeout_s = static_cast<std::uint16_t>(n);
        } else if (key == "collecting") {
            ok = parse_uint(val, 0, 1000000, n);
            opt.collecting = static_cast<unsigned>(n);
        } else if (key == "refuse") {
            std::uint8_t cmd = 0;
            Refusal r;
            ok = parse_refusal(val, cmd, r);
            if (ok) {
                opt.refuse[cmd] = r;
            }
        } else if (key == "loss") {
            ok = parse_loss(val, opt.loss_pct, opt.loss_max_ms);
        } else if (key == "seed") {
            ok = parse_uint(val, 0, 0xffffffffUL, n);
            opt.seed = static_cast<std::uint32_t>(n);
        } else if (key == "drop_from" || key == "drop_to") {
            Ip4 ip{};
            ok = parse_ip(val, ip);
            if (ok) {
                (key == "drop_from" ? opt.drop_from : opt.drop_to).insert(ip);
            }
        } else {
            err = "unknown option '" + std::string(key) + "'";
            return false;
        }
        if (!ok) {
            err = "bad value in option '" + std::string(word) + "'";
            return false;
        }
    }
    if (!have_addr) {
        err = "option addr=IPv4 is required";
        return false;
    }
    out = opt;
    return true;
}

}  // namespace tavik::bmcsim
