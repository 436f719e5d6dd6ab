// SPDX-License-Identifier: GPL-3.0-or-later
// A session to a peer's BMC (peer_session.h).
#include "peer_session.h"

#include <freeipmi/freeipmi.h>

#include <algorithm>
#include <cstring>

#include "result.h"

namespace tavik::bmc {

// config.h names FreeIPMI's LAN 2.0 workaround bits in FreeIPMI's order.
static_assert(kWorkaroundOpenSessionPrivilege == IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE);
static_assert(IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_AUTHENTICATION_CAPABILITIES == 0x01 &&
              IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NO_CHECKSUM_CHECK == 0x40);

bool login_refused(int errnum) {
    switch (errnum) {
        case IPMI_ERR_USERNAME_INVALID:
        case IPMI_ERR_PASSWORD_INVALID:
        case IPMI_ERR_K_G_INVALID:
        case IPMI_ERR_PRIVILEGE_LEVEL_INSUFFICIENT:
        case IPMI_ERR_PRIVILEGE_LEVEL_CANNOT_BE_OBTAINED:
            return true;
        default:
            return false;
    }
}

std::unique_ptr<PeerSession> PeerSession::open(const PeerSettings &peer, const std::string &password,
                                               std::uint8_t suite, const std::string &host,
                                               unsigned session_ms, OpenFailure &failure) {
    ipmi_ctx_t ctx = ipmi_ctx_create();
    if (ctx == nullptr) {
        failure = {"cannot create an IPMI context: out of memory", false};
        return nullptr;
    }
    if (ipmi_ctx_open_outofband_2_0(
            ctx, host.c_str(), peer.user.c_str(), password.c_str(), nullptr, 0, IPMI_PRIVILEGE_LEVEL_USER,
            suite, session_ms, std::max(session_ms / 5, 20u), peer.workarounds, IPMI_FLAGS_DEFAULT) < 0) {
        failure = {ipmi_ctx_errormsg(ctx), login_refused(ipmi_ctx_errnum(ctx))};
        ipmi_ctx_destroy(ctx);
        return nullptr;
    }
    return std::unique_ptr<PeerSession>(new PeerSession(ctx, host, session_ms));
}

PeerSession::~PeerSession() {
    ipmi_ctx_close(ctx_);
    ipmi_ctx_destroy(ctx_);
}

int PeerSession::command(std::uint8_t netfn, std::uint8_t cmd, const std::vector<std::uint8_t> &req,
                         std::uint8_t &cc, std::vector<std::uint8_t> &data, std::string &err,
                         Clock::time_point) {
    std::uint8_t rq[1 + 255];
    std::uint8_t rs[1 + 1 + 255];
    if (req.size() > 255) {
        err = "request too long";
        return kBadArgument;
    }
    rq[0] = cmd;
    std::copy(req.begin(), req.end(), rq + 1);
    const int n = ipmi_cmd_raw(ctx_, 0, netfn, rq, static_cast<unsigned>(1 + req.size()), rs, sizeof rs);
    if (n < 0) {
        err = ipmi_ctx_errormsg(ctx_);
        return kExchangeFailed;
    }
    if (n < 2 || rs[0] != cmd) {
        err = "an answer of " + std::to_string(n) + " bytes without completion code";
        return kBadResponse;
    }
    cc = rs[1];
    data.assign(rs + 2, rs + n);
    return kOk;
}

}  // namespace tavik::bmc
