// SPDX-License-Identifier: GPL-3.0-or-later
// A LAN 2.0 session to a peer's BMC through FreeIPMI (standard driver): the transport each
// peer's watcher reads that BMC's watchdog over. A failed request leaves the session
// broken; the watcher opens a new one. Used by one watcher thread.
#pragma once

#include <memory>

#include "config.h"
#include "transport.h"

struct ipmi_ctx;

namespace tavik::bmc {

// Why a session could not be opened.
struct OpenFailure {
    std::string why;
    // The BMC answered and refused the login (user, password, K_g or privilege): asking
    // again at once only counts as another failed login.
    bool refused = false;
};

class PeerSession final : public Transport {
  public:
    // Opens a session to `host` ("address:port") as the peer's user with `password`, its
    // workaround flags, cipher suite `suite` and user privilege; each request, and the login,
    // waits at most `session_ms`. Null on failure.
    static std::unique_ptr<PeerSession> open(const PeerSettings &peer, const std::string &password,
                                             std::uint8_t suite, const std::string &host, unsigned session_ms,
                                             OpenFailure &failure);
    ~PeerSession() override;
    PeerSession(const PeerSession &) = delete;
    PeerSession &operator=(const PeerSession &) = delete;

    int command(std::uint8_t netfn, std::uint8_t cmd, const std::vector<std::uint8_t> &req, std::uint8_t &cc,
                std::vector<std::uint8_t> &data, std::string &err, Clock::time_point deadline = {}) override;
    unsigned sessions_opened() const override { return 1; }
    std::string target() const override { return host_; }
    unsigned timeout_ms() const override { return session_ms_; }

  private:
    PeerSession(ipmi_ctx *ctx, std::string host, unsigned session_ms)
        : ctx_(ctx), host_(std::move(host)), session_ms_(session_ms) {}
    ipmi_ctx *ctx_;
    std::string host_;
    unsigned session_ms_;
};

// Whether a FreeIPMI error number is a BMC's refusal of the login.
bool login_refused(int errnum);

}  // namespace tavik::bmc
