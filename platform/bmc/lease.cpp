// SPDX-License-Identifier: GPL-3.0-or-later
// The watchdog lease (lease.h).
#include "lease.h"

#include <algorithm>
#include <cstdio>

#include "result.h"

namespace tavik::bmc {

// The commands of one status call share the access file's time-out.
void Lease::start_call() {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(bmc_.timeout_ms());
}

bool Lease::time_left(std::string &err) const {
    if (std::chrono::steady_clock::now() < deadline_) {
        return true;
    }
    err = "the watchdog lease on " + bmc_.target() + ": no time left of timeout_ms for another command";
    return false;
}

int Lease::send(std::uint8_t cmd, const std::vector<std::uint8_t> &req, std::uint8_t &cc, std::string &err) {
    if (!time_left(err)) {
        return kExchangeFailed;
    }
    std::vector<std::uint8_t> data;
    int rc = bmc_.command(wdt::kNetFnApp, cmd, req, cc, data, err, deadline_);
    if (rc == kOk && cc != 0 && err.empty()) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "watchdog command %#04x to %s: completion code %#04x", cmd,
                      bmc_.target().c_str(), cc);
        err = buf;
    }
    return rc;
}

int Lease::read(wdt::State &s, std::uint8_t &cc, std::string &err) {
    if (!time_left(err)) {
        return kExchangeFailed;
    }
    std::vector<std::uint8_t> data;
    int rc = bmc_.command(wdt::kNetFnApp, wdt::kCmdGet, {}, cc, data, err, deadline_);
    if (rc != kOk || cc != 0) {
        if (rc == kOk) {
            err = "Get Watchdog Timer to " + bmc_.target() + " refused";
        }
        return rc;
    }
    return wdt::decode_get(data, s, err) ? kOk : kBadResponse;
}

int Lease::end(const wdt::State &s, std::uint8_t &cc, std::string &err) {
    held_ = false;
    ended_ = "another program set the BMC watchdog (" + wdt::settings_text(s) + ") on " + bmc_.target() +
             " while tavik held its lease: the lease ends, and tavik leaves that timer alone until the "
             "daemon takes the lease anew";
    cc = kCcWatchdogInUse;
    err = ended_;
    return kOk;
}

int Lease::take(std::uint8_t &cc, std::string &err) {
    wdt::State s;
    int rc = read(s, cc, err);
    if (rc != kOk || cc != 0) {
        return rc;
    }
    return take_read(s, cc, err);
}

// Takes the lease on the timer `s` shows: ours or a predecessor's (OEM, action none), or
// a stopped one; never a timer another program runs.
int Lease::take_read(const wdt::State &s, std::uint8_t &cc, std::string &err) {
    held_ = false;
    const std::string busy = wdt::in_use_reason(s);
    if (!busy.empty()) {
        // Refused until the daemon takes the lease anew, even if that timer stops meanwhile.
        ended_ = busy + " (on " + bmc_.target() + "); tavik leaves it alone";
        cc = kCcWatchdogInUse;
        err = ended_;
        return kOk;
    }
    // A lease of ours still counting (a restarted daemon's predecessor's) is set without
    // stopping it: a peer reading it between Set and Reset would see it stopped.
    const bool keep = wdt::ours(s) && s.running;
    int rc = send(wdt::kCmdSet, wdt::set_request(countdown_ds(), keep), cc, err);
    if (rc != kOk || cc != 0) {
        return rc;
    }
    set_ds_ = countdown_ds();
    rc = send(wdt::kCmdReset, {}, cc, err);
    held_ = rc == kOk && cc == 0;
    return rc;
}

int Lease::renew(std::uint8_t &cc, std::string &err) {
    if (!held_ && !ended_.empty()) {
        cc = kCcWatchdogInUse;
        err = ended_;
        return kOk;
    }
    wdt::State s;
    int rc = read(s, cc, err);
    if (rc != kOk || cc != 0) {
        return rc;
    }
    // Not held (never taken, or a failed call left it unsure), or a BMC that restarted and
    // shows a timer nobody set: the lease is taken on what was just read.
    if (!held_ || wdt::never_set(s)) {
        return take_read(s, cc, err);
    }
    if (!holds(s)) {
        return end(s, cc, err);
    }
    rc = send(wdt::kCmdReset, {}, cc, err);
    if (rc == kOk && cc == wdt::kCcNotInitialised) {
        err.clear();
        cc = 0;
        return take(cc, err);
    }
    return rc;
}

int Lease::give_back(std::uint8_t &cc, std::string &err) {
    wdt::State s;
    int rc = read(s, cc, err);
    held_ = false;
    if (rc != kOk || cc != 0) {
        return rc;
    }
    if (!wdt::ours(s) || !wdt::in_use_reason(s).empty()) {
        return kOk;  // not ours to stop: the lease is gone already, which is what was asked for
    }
    // Stopped with a countdown of one unit: a peer reading it sees no countdown under way.
    return send(wdt::kCmdSet, wdt::set_request(1, false), cc, err);
}

int Lease::observe(std::uint8_t ctrl, std::uint8_t &cc, std::string &err) {
    if (ctrl != 0x01 && ctrl != 0x02 && ctrl != 0x81 && ctrl != 0x82) {
        cc = kCcUnknownStatus;
        err = "host status " + std::to_string(ctrl) + " has no meaning";
        return kOk;
    }
    wdt::State s;
    return read(s, cc, err);
}

int Lease::set_status(std::uint8_t ctrl, std::uint8_t &cc, std::string &err) {
    cc = 0;
    start_call();
    if (source_ != LeaseSource::Watchdog) {
        return observe(ctrl, cc, err);
    }
    switch (ctrl) {
        case 0x01:
            ended_.clear();
            return take(cc, err);
        case 0x02:
            return renew(cc, err);
        case 0x81:
        case 0x82:
            return give_back(cc, err);
        default:
            cc = kCcUnknownStatus;
            err = "host status " + std::to_string(ctrl) + " has no meaning for the watchdog lease";
            return kOk;
    }
}

int Lease::set_access_time(std::uint16_t seconds, std::uint8_t &cc, std::string &err) {
    cc = 0;
    if (source_ != LeaseSource::Watchdog) {
        return kOk;  // nothing of ours on the timer for it to set
    }
    if (seconds == 0) {
        cc = kCcAccessTimeRefused;
        err = "an access time-out of 0 (no lapse) cannot be a watchdog lease";
        return kOk;
    }
    seconds_ = std::min<unsigned>(seconds, wdt::kMaxLeaseSeconds);
    if (!held_) {
        return kOk;
    }
    start_call();
    wdt::State s;
    int rc = read(s, cc, err);
    if (rc != kOk || cc != 0) {
        return rc;
    }
    if (!holds(s)) {
        return end(s, cc, err);
    }
    // The new length takes effect at once: Set on the running timer, then Reset.
    rc = send(wdt::kCmdSet, wdt::set_request(countdown_ds(), true), cc, err);
    if (rc != kOk || cc != 0) {
        return rc;
    }
    set_ds_ = countdown_ds();
    return send(wdt::kCmdReset, {}, cc, err);
}

}  // namespace tavik::bmc
