// SPDX-License-Identifier: GPL-3.0-or-later
// The look at one BMC before a node joins (preflight.h).
#include "preflight.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

#include "cipher_suites.h"
#include "peer_session.h"
#include "presence.h"
#include "result.h"

namespace tavik::bmc {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kCmdGetSessionInfo = 0x3d;
constexpr std::uint8_t kThisSession = 0x00;
constexpr std::size_t kSessionInfoLen = 5;  // handle, slots, active, user id, privilege
constexpr std::uint8_t kTag = 0x5a;

// A ping and Get Channel Authentication Capabilities at once: some BMCs answer no ping,
// and the peer watch then asks the latter. Waits for both answers or the time-out.
void presence(const Config &cfg, const PeerSettings &peer, std::uint32_t ip, Preflight &out) {
    Pinger pinger;
    std::string err;
    if (!pinger.open(err) || !pinger.ping(ip, peer.port, kTag) ||
        !pinger.ask_capabilities(ip, peer.port, kTag)) {
        out.why = err.empty() ? "cannot send a presence ping" : err;
        return;
    }
    const auto until = Clock::now() + std::chrono::milliseconds(cfg.timeout_ms);
    while (!(out.pong && out.capabilities)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd pfd{pinger.fd(), POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        bool more = true;
        while (more) {
            std::uint32_t from = 0;
            std::uint16_t port = 0;
            const Pinger::Answer got = pinger.receive(kTag, from, port, more);
            if (from == ip && port == peer.port) {
                out.pong = out.pong || got == Pinger::kPong;
                out.capabilities = out.capabilities || got == Pinger::kCapabilities;
            }
        }
    }
    if (!out.pong && !out.capabilities) {
        out.why = "no answer to a presence ping or Get Channel Authentication Capabilities within " +
                  std::to_string(cfg.timeout_ms) + " ms";
    }
}

// The suites offered, and the one a login takes as the library would choose it.
void cipher_suites(const Config &cfg, const PeerSettings &peer, const std::string &host, Preflight &out) {
    std::vector<std::uint8_t> records;
    std::string err;
    out.suites_listed = query_cipher_suites(host, peer.port, cfg.timeout_ms, records, err);
    out.offered = out.suites_listed ? offered_suites(records) : std::vector<std::uint8_t>{};
    if (peer.cipher_suite != kCipherSuiteAuto) {
        out.suite = peer.cipher_suite;
        out.suite_agreed = true;
        return;
    }
    out.suite = kCipherSuiteFallback;
    if (!out.suites_listed) {
        out.suite_note = err + "; cipher suite " + std::to_string(out.suite) + " tried";
        out.suite_agreed = true;  // the login tells
        return;
    }
    out.suite_agreed = choose_suite(out.offered, out.suite, out.suite_note);
}

void log_in_and_read(const Config &cfg, const PeerSettings &peer, const std::string &host, Preflight &out) {
    std::string password, err;
    if (!read_password(peer.password_file, password, err)) {
        password = peer.password;  // as read when the library started
    }
    OpenFailure failure;
    const auto session = PeerSession::open(peer, password, out.suite, host + ":" + std::to_string(peer.port),
                                           cfg.timeout_ms, failure);
    if (!session) {
        out.login_refused = failure.refused;
        out.why = "no session as '" + peer.user + "': " + failure.why;
        return;
    }
    out.login = true;
    read_in_session(*session, out);
}

}  // namespace

// What the access file expects that host's BMC to show: its section's lease source, else the file's.
LeaseSource expected_source(const Config &cfg, std::uint32_t ip) {
    return cfg.peer(ip).lease;
}

LeaseSource workable_source(const wdt::State &s) {
    return wdt::in_use_reason(s).empty() ? LeaseSource::Watchdog : LeaseSource::Observe;
}

bool decode_session_info(const std::vector<std::uint8_t> &data, SessionSlots &out, std::string &err) {
    if (data.size() < kSessionInfoLen) {
        err = "Get Session Info answered " + std::to_string(data.size()) + " data bytes, expected " +
              std::to_string(kSessionInfoLen) + " or more";
        return false;
    }
    out.maximum = data[1] & 0x3f;
    out.active = data[2] & 0x3f;
    out.user_id = data[3] & 0x3f;
    out.privilege = data[4] & 0x0f;
    return true;
}

void read_in_session(Transport &bmc, Preflight &out) {
    std::uint8_t cc = 0;
    std::vector<std::uint8_t> data;
    std::string err;
    int rc = bmc.command(wdt::kNetFnApp, kCmdGetSessionInfo, {kThisSession}, cc, data, err);
    if (rc == kOk && cc == 0) {
        out.slots_read = decode_session_info(data, out.slots, err);
    }
    // Slots unread are a warning, not the first failure: the watchdog is read regardless.
    rc = bmc.command(wdt::kNetFnApp, wdt::kCmdGet, {}, cc, data, err);
    if (rc == kOk && cc != 0) {
        err = "Get Watchdog Timer answered completion code " + std::to_string(cc);
    }
    out.watchdog_read = rc == kOk && cc == 0 && wdt::decode_get(data, out.watchdog, err);
    if (!out.watchdog_read) {
        out.workable = LeaseSource::None;
        out.why = "the watchdog cannot be read: " + err;
        return;
    }
    out.workable = workable_source(out.watchdog);
}

Preflight preflight(const Config &cfg, std::uint32_t ip) {
    Preflight out;
    const PeerSettings peer = cfg.peer(ip);
    out.expected = expected_source(cfg, ip);
    const std::string host = ip_text(ip);
    presence(cfg, peer, ip, out);
    if (!out.why.empty()) {
        return out;  // nothing answers: every later step would only wait as long again
    }
    cipher_suites(cfg, peer, host, out);
    if (!out.suite_agreed) {
        out.why = out.suite_note;
        return out;
    }
    log_in_and_read(cfg, peer, host, out);
    return out;
}

}  // namespace tavik::bmc
