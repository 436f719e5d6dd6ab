// SPDX-License-Identifier: GPL-3.0-or-later
// The watchdog lease (lease.h).
#include "lease.h"

#include <algorithm>

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

// Reads the timer into last_; a refusal by another user ends the call with our code.
int Lease::read(std::uint8_t &cc, std::string &err) {
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
    if (!wdt::decode_get(data, last_, err)) {
        return kBadResponse;
    }
    session_seen_ = bmc_.sessions_opened();
    const std::string busy = wdt::in_use_reason(last_);
    if (!busy.empty()) {
        held_ = false;
        cc = kCcWatchdogInUse;
        err = busy + " (on " + bmc_.target() + "); tavik leaves it alone";
    }
    return kOk;
}

int Lease::take(std::uint8_t &cc, std::string &err) {
    int rc = read(cc, err);
    if (rc != kOk || cc != 0) {
        return rc;
    }
    // A lease of ours still counting (a restarted daemon's predecessor's) is set without
    // stopping it: a peer reading it between Set and Reset would see it stopped.
    const bool keep = wdt::ours(last_) && wdt::counting(last_);
    rc = send(wdt::kCmdSet, wdt::set_request(countdown_ds(), keep), cc, err);
    if (rc != kOk || cc != 0) {
        return rc;
    }
    rc = send(wdt::kCmdReset, {}, cc, err);
    held_ = rc == kOk && cc == 0;
    renewals_ = 0;
    return rc;
}

int Lease::renew(std::uint8_t &cc, std::string &err) {
    // A new session may mean a BMC that restarted and forgot the lease; and a timer can
    // be taken by somebody else at any time. So it is read back now and then.
    const bool confirm =
        !held_ || bmc_.sessions_opened() != session_seen_ || ++renewals_ % kConfirmEvery == 0;
    if (confirm) {
        int rc = read(cc, err);
        if (rc != kOk || cc != 0) {
            return rc;
        }
        if (!wdt::ours(last_) || last_.initial_ds != countdown_ds() || !wdt::counting(last_)) {
            return take(cc, err);
        }
    }
    int rc = send(wdt::kCmdReset, {}, cc, err);
    if (rc == kOk && cc == wdt::kCcNotInitialised) {
        err.clear();
        return take(cc, err);
    }
    return rc;
}

int Lease::give_back(std::uint8_t &cc, std::string &err) {
    int rc = read(cc, err);
    if (rc != kOk) {
        return rc;
    }
    if (cc == kCcWatchdogInUse) {
        // Not ours to stop: the lease is gone already, which is what was asked for.
        cc = 0;
        err.clear();
        return kOk;
    }
    if (cc != 0 || !wdt::ours(last_)) {
        held_ = false;
        return rc;
    }
    // Stopped with a countdown of one unit: a peer reading it sees no countdown under way.
    rc = send(wdt::kCmdSet, wdt::set_request(1, false), cc, err);
    held_ = false;
    return rc;
}

int Lease::set_status(std::uint8_t ctrl, std::uint8_t &cc, std::string &err) {
    cc = 0;
    start_call();
    switch (ctrl) {
        case 0x01:
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
    // The new length takes effect at once: Set on the running timer, then Reset.
    int rc = send(wdt::kCmdSet, wdt::set_request(countdown_ds(), true), cc, err);
    if (rc != kOk || cc != 0) {
        return rc;
    }
    return send(wdt::kCmdReset, {}, cc, err);
}

}  // namespace tavik::bmc
