// SPDX-License-Identifier: GPL-3.0-or-later
// A look at one BMC before a node joins (standard driver; `tavikctl bmc check`), made the
// way a peer's host will reach it: presence ping, the cipher suites its channel offers and
// the one a login takes, a session as the peer user, its slots (Get Session Info) and its
// watchdog (Get Watchdog Timer). Only reads: it takes no lease and never touches a timer.
// Plain functions; each look owns its sockets and session: safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config.h"
#include "transport.h"
#include "watchdog.h"

namespace tavik::bmc {

// The source the access file expects for the host of the BMC at `ip` (network byte order).
LeaseSource expected_source(const Config &cfg, std::uint32_t ip);

// The source a timer reading `s` leaves: our own lease where the timer is free or ours
// (the lease takes exactly those), watching another program's timer where one runs.
LeaseSource workable_source(const wdt::State &s);

// What Get Session Info (App 0x3D, index 0: this session) answered.
struct SessionSlots {
    std::uint8_t active = 0;     // active sessions, all channels
    std::uint8_t maximum = 0;    // possible active sessions
    std::uint8_t user_id = 0;    // of this session
    std::uint8_t privilege = 0;  // this session's operating privilege (2 user, 3 operator, 4 admin)
};

// Decodes the data after the completion code; false (with a reason) for a short answer.
bool decode_session_info(const std::vector<std::uint8_t> &data, SessionSlots &out, std::string &err);

struct Preflight {
    bool pong = false;          // answered a presence ping
    bool capabilities = false;  // answered Get Channel Authentication Capabilities
    bool suites_listed = false;
    std::vector<std::uint8_t> offered;
    std::uint8_t suite = 0;     // the suite the login used
    bool suite_agreed = false;  // a configured suite, or one tavik speaks among those offered
    std::string suite_note;     // why none was agreed, or that the list was not answered
    bool login = false;
    bool login_refused = false;  // user, password or privilege refused by the BMC
    bool slots_read = false;
    SessionSlots slots;
    bool watchdog_read = false;
    wdt::State watchdog;
    LeaseSource workable = LeaseSource::None;
    LeaseSource expected = LeaseSource::Watchdog;
    std::string why;  // the first step that failed, and why; empty when none did
};

// The steps inside a session: its slots, then the watchdog and the source it leaves.
void read_in_session(Transport &bmc, Preflight &out);

// The whole look at the BMC at ip:cfg.peer_port, as cfg's peer user.
Preflight preflight(const Config &cfg, std::uint32_t ip);

}  // namespace tavik::bmc
