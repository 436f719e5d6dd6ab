// SPDX-License-Identifier: GPL-3.0-or-later
// The FreeIPMI side of the BMC library: sessions, their re-opening, and the encoding of
// the daemon's operations as OEM requests. Not thread-safe (see client.h).
#include "client.h"

#include <freeipmi/freeipmi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bmc_protocol.h"
#include "cipher_suites.h"
#include "result.h"
#include "usage.h"

namespace tavik::bmc {

using namespace bmcproto;

namespace {

// FreeIPMI's session time-out counts from the last answer the session received, not from
// the request: a request waits for its answer until then, and a session that heard nothing
// for that long is expired for good (every request fails at once). It gives up somewhat
// after it (it checks at retransmission steps), so a call's time-out is split: 4/5 for the
// session time-out, 1/10 for each retransmission. Measured worst case: session time-out +
// 2 retransmissions. A session also has to outlast the caller's pauses between calls,
// which are added on top (pause_allowance_ms).
constexpr unsigned session_timeout_for(unsigned budget_ms) {
    return std::max(budget_ms * 4 / 5, 5u);
}
// Pauses longer than this are not bridged: ipmi_sim closes a session after 30 s without a
// request and BMCs after 60 s, and a dead BMC would hold a call up for that long.
constexpr unsigned kMaxBridgedPauseMs = 20000;
// Shorter gaps (the requests of one call, or of one burst) are not pauses worth noting.
constexpr unsigned kMinPauseMs = 100;
constexpr unsigned retransmit_for(unsigned budget_ms) {
    return std::max(budget_ms / 10, 2u);
}
// Less than this left of a call is not worth opening a session for.
constexpr unsigned kMinBudgetMs = 10;

std::string hex(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%#04x", v);
    return buf;
}

unsigned ms_until(std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
}

}  // namespace

Client::Client(Config cfg) : cfg_(std::move(cfg)) {}

Client::~Client() {
    drop_session();
}

std::string Client::describe(std::uint8_t cmd) const {
    return "command " + hex(cmd) + " to " + cfg_.target();
}

void Client::drop_session() {
    if (ctx_ != nullptr) {
        ipmi_ctx_close(ctx_);
        ipmi_ctx_destroy(ctx_);
        ctx_ = nullptr;
    }
}

int Client::connect(Clock::time_point deadline, std::string &err) {
    drop_session();
    const unsigned budget = ms_until(deadline);
    if (budget < kMinBudgetMs) {
        err = "no time left to open a session to " + cfg_.target();
        return kOpenFailed;
    }
    ipmi_ctx_t ctx = ipmi_ctx_create();
    if (ctx == nullptr) {
        err = "cannot create an IPMI context: out of memory";
        return kInternal;
    }
    if (cfg_.lan()) {
        std::uint8_t suite = static_cast<std::uint8_t>(suite_);
        if (suite_ < 0) {
            std::string note;
            bool settled = false;
            suite = session_suite(cfg_.cipher_suite, cfg_.host, cfg_.port, std::min(budget / 2, 1000u), note,
                                  settled);
            suite_ = settled ? suite : -1;
        }
        const unsigned left = std::max(ms_until(deadline), kMinBudgetMs);
        session_timeout_ms_ = session_timeout_for(left) + pause_allowance_ms();
        retransmit_ms_ = retransmit_for(left);
        int rc = ipmi_ctx_open_outofband_2_0(
            ctx, cfg_.endpoint().c_str(), cfg_.user.c_str(), cfg_.password.c_str(), nullptr, 0,
            cfg_.privilege, suite, session_timeout_ms_, retransmit_ms_, cfg_.workarounds, IPMI_FLAGS_DEFAULT);
        if (rc < 0) {
            err = "cannot open a LAN 2.0 session to " + cfg_.target() + " as user '" + cfg_.user +
                  "': " + ipmi_ctx_errormsg(ctx);
            ipmi_ctx_destroy(ctx);
            return kOpenFailed;
        }
    } else {
        session_timeout_ms_ = 0;
        ipmi_driver_type_t type = IPMI_DEVICE_UNKNOWN;
        int rc = ipmi_ctx_find_inband(ctx, &type, 0, 0, 0, nullptr, 0, IPMI_FLAGS_DEFAULT);
        if (rc != 1) {
            err = rc == 0 ? std::string("no in-band BMC found (no IPMI driver or device on this machine)")
                          : std::string("cannot open the in-band BMC: ") + ipmi_ctx_errormsg(ctx);
            ipmi_ctx_destroy(ctx);
            return kOpenFailed;
        }
    }
    ctx_ = ctx;
    last_answer_ = Clock::now();
    ++sessions_opened_;
    zvrbmc_usage.sessions.fetch_add(1, std::memory_order_relaxed);
    return kOk;
}

int Client::exchange(Clock::time_point deadline, std::uint8_t netfn, std::uint8_t cmd,
                     const std::uint8_t *req, std::size_t req_len, std::uint8_t &cc,
                     std::vector<std::uint8_t> &data, std::string &err) {
    std::uint8_t rq[1 + 255];
    if (req_len > 255) {
        err = describe(cmd) + ": request of " + std::to_string(req_len) + " bytes is too long";
        return kBadArgument;
    }
    rq[0] = cmd;
    if (req_len > 0) {
        std::memcpy(rq + 1, req, req_len);
    }
    for (int attempt = 0;; ++attempt) {
        note_pause();
        bool fresh = false;
        if (ctx_ == nullptr) {
            int rc = connect(deadline, err);
            if (rc != kOk) {
                return rc;
            }
            fresh = true;
        }
        std::uint8_t rs[1 + 1 + 255];
        const auto sent = Clock::now();
        int n = 0;
        std::uint8_t failed_cmd = cmd;
        // Behind a new session may be a BMC that restarted and forgot the access time-out
        // it was given once: without it, it would announce a hung host alive for ever.
        // So it is given again first; the BMC's answer to it is its own business.
        if (fresh && !restore_.empty() && !(netfn == kNetFn && cmd == restore_[0])) {
            count_request(kNetFn, restore_[0]);
            n = ipmi_cmd_raw(ctx_, 0, kNetFn, restore_.data(), static_cast<unsigned>(restore_.size()), rs,
                             sizeof rs);
            if (n < 0) {
                failed_cmd = restore_[0];
            }
        }
        if (n >= 0) {
            count_request(netfn, cmd);
            n = ipmi_cmd_raw(ctx_, 0, netfn, rq, static_cast<unsigned>(1 + req_len), rs, sizeof rs);
        }
        if (n >= 0) {
            last_answer_ = Clock::now();
            if (n < 2 || rs[0] != cmd) {
                err = describe(cmd) + ": answer of " + std::to_string(n) + " bytes without completion code";
                return kBadResponse;
            }
            cc = rs[1];
            data.assign(rs + 2, rs + n);
            return kOk;
        }
        const int errnum = ipmi_ctx_errnum(ctx_);
        err = describe(failed_cmd) + ": " + ipmi_ctx_errormsg(ctx_);
        drop_session();
        // An expired session fails at once; an unresponsive BMC only after the session
        // time-out, and then there is no time left to try again.
        const bool expired = errnum == IPMI_ERR_SESSION_TIMEOUT &&
                             Clock::now() - sent < std::chrono::milliseconds(session_timeout_ms_ / 2);
        if (attempt > 0 || !expired) {
            return kExchangeFailed;
        }
    }
}

void Client::note_pause() {
    if (ctx_ == nullptr || session_timeout_ms_ == 0) {
        return;
    }
    const auto quiet =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_answer_).count();
    if (quiet >= kMinPauseMs && quiet <= kMaxBridgedPauseMs) {
        pauses_ms_[next_pause_] = static_cast<unsigned>(std::max<long long>(quiet, 0));
        next_pause_ = (next_pause_ + 1) % pauses_ms_.size();
    }
    // FreeIPMI would send the request and then fail it unanswered; a new session, opened
    // to outlast this pause too, is cheaper than a request that cannot succeed.
    if (quiet >= session_timeout_ms_) {
        drop_session();
    }
}

// How much longer than its share of timeout_ms a new session must live to outlast the
// caller's pauses: the longest of the last few, and a quarter on top for a late sleeper.
unsigned Client::pause_allowance_ms() const {
    const unsigned longest = *std::max_element(pauses_ms_.begin(), pauses_ms_.end());
    return longest + longest / 4;
}

int Client::open(std::string &err) {
    opened_ = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(cfg_.timeout_ms);
    int rc = connect(deadline, err);
    if (rc != kOk) {
        return rc;
    }
    std::uint8_t cc = 0;
    std::vector<std::uint8_t> data;
    rc = exchange(deadline, 0x06, 0x01, nullptr, 0, cc, data, err);  // App: Get Device ID
    if (rc != kOk) {
        err = "checking the BMC with Get Device ID: " + err;
        drop_session();
        return kDeviceIdFailed;
    }
    if (cc != kCcOk || data.size() < 11) {
        err = "Get Device ID to " + cfg_.target() + " answered completion code " + hex(cc) + " with " +
              std::to_string(data.size()) + " data bytes";
        drop_session();
        return kDeviceIdFailed;
    }
    opened_ = true;
    return kOk;
}

void Client::close() {
    drop_session();
    opened_ = false;
    restore_.clear();  // a new bmc_init starts afresh: the daemon sends its settings again
    unused_known_ = {};
}

int Client::command(std::uint8_t netfn, std::uint8_t cmd, const std::vector<std::uint8_t> &req,
                    std::uint8_t &cc, std::vector<std::uint8_t> &data, std::string &err,
                    Clock::time_point deadline) {
    if (!opened_) {
        err = "bmc_init has not succeeded";
        return kNotInitialised;
    }
    if (deadline == Clock::time_point{}) {
        deadline = Clock::now() + std::chrono::milliseconds(cfg_.timeout_ms);
    }
    return exchange(deadline, netfn, cmd, req.data(), req.size(), cc, data, err);
}

int Client::request(std::uint8_t cmd, const std::vector<std::uint8_t> &req, std::uint8_t &cc,
                    std::vector<std::uint8_t> &data, std::string &err) {
    if (!opened_) {
        err = "bmc_init has not succeeded";
        return kNotInitialised;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(cfg_.timeout_ms);
    return exchange(deadline, kNetFn, cmd, req.data(), req.size(), cc, data, err);
}

namespace {

// Checks the length of a successful answer.
int expect_len(const std::vector<std::uint8_t> &data, std::size_t want, const std::string &what,
               std::string &err) {
    if (data.size() == want) {
        return kOk;
    }
    err = what + ": answer has " + std::to_string(data.size()) + " data bytes, expected " +
          std::to_string(want);
    return kBadResponse;
}

}  // namespace

int Client::set_host_status(std::uint8_t unit, std::uint8_t ctrl, std::uint8_t &cc, std::string &err) {
    std::vector<std::uint8_t> data;
    int rc = request(kCmdSetHostStatus, {unit, ctrl}, cc, data, err);
    if (rc != kOk || cc != kCcOk) {
        return rc;
    }
    return expect_len(data, 0, describe(kCmdSetHostStatus), err);
}

int Client::set_access_time(std::uint8_t cmd, std::uint16_t seconds, std::uint8_t &cc, std::string &err) {
    std::vector<std::uint8_t> data;
    const std::vector<std::uint8_t> req = {static_cast<std::uint8_t>(seconds & 0xff),
                                           static_cast<std::uint8_t>(seconds >> 8)};
    int rc = request(cmd, req, cc, data, err);
    if (rc != kOk || cc != kCcOk) {
        return rc;
    }
    rc = expect_len(data, 0, describe(cmd), err);
    if (rc == kOk) {
        restore_.assign({cmd, req[0], req[1]});
    }
    return rc;
}

int Client::set_targets(std::uint8_t cmd, std::uint8_t block, const BMC_INFO_SET *first, std::uint8_t &cc,
                        std::uint8_t &block_out, std::string &err) {
    std::vector<std::uint8_t> req;
    req.reserve(kSetTargetsRequestLen);
    req.push_back(block);
    for (std::size_t i = 0; i < kBlockRecords; ++i) {
        std::uint8_t ip[4];
        std::memcpy(ip, &first[i].ip, 4);  // already in network byte order
        req.insert(req.end(), ip, ip + 4);
        req.push_back(first[i].ctrl);
        req.push_back(first[i].timeout);
        req.push_back(0);
        req.push_back(0);
    }
    const bool tracked = block >= 1 && block <= unused_known_.size();
    if (tracked) {
        unused_known_[block - 1] = false;  // until the firmware has accepted this block
    }
    std::vector<std::uint8_t> data;
    int rc = request(cmd, req, cc, data, err);
    if (rc != kOk || cc != kCcOk) {
        return rc;
    }
    rc = expect_len(data, kSetTargetsResponseLen, describe(cmd), err);
    if (rc != kOk) {
        return rc;
    }
    if (data[0] != block) {
        err = describe(cmd) + ": answer names block " + std::to_string(data[0]) + " for block " +
              std::to_string(block);
        return kBadResponse;
    }
    if (tracked) {
        std::uint16_t unused = 0;
        for (std::size_t i = 0; i < kBlockRecords; ++i) {
            if (first[i].ip == 0) {
                unused = static_cast<std::uint16_t>(unused | (1u << i));
            }
        }
        unused_slots_[block - 1] = unused;
        unused_known_[block - 1] = true;
    }
    block_out = data[0];
    return kOk;
}

bool Client::page_unused(std::uint8_t block, std::uint8_t page) const {
    if (page == 0 || block < 1 || block > unused_known_.size() || !unused_known_[block - 1]) {
        return false;  // page 0 always goes out: it is what makes a poll a poll
    }
    const unsigned mask = ((1u << kPageRecords) - 1) << (page * kPageRecords);
    return (unused_slots_[block - 1] & mask) == mask;
}

int Client::get_status(std::uint8_t cmd, std::uint8_t block, std::uint8_t &cc, std::uint8_t &block_out,
                       BMC_INFO_GET *first, std::string &err) {
    if (!opened_) {
        err = "bmc_init has not succeeded";
        return kNotInitialised;
    }
    // A block is four pages, since a BMC answers at most 35 data bytes. The whole block
    // shares one time-out; the caller's records change only when every page came back.
    const auto deadline = Clock::now() + std::chrono::milliseconds(cfg_.timeout_ms);
    BMC_INFO_GET recs[kBlockRecords] = {};
    std::vector<std::uint8_t> data;
    for (std::uint8_t page = 0; page < kPagesPerBlock; ++page) {
        if (page_unused(block, page)) {
            for (std::size_t i = 0; i < kPageRecords; ++i) {
                recs[page * kPageRecords + i].stat[0] = kResultEmpty << kResultShift;  // address 0 etc.
            }
            continue;
        }
        const std::uint8_t req[2] = {block, page};
        int rc = exchange(deadline, kNetFn, cmd, req, sizeof req, cc, data, err);
        if (rc != kOk) {
            return rc;
        }
        if (cc != kCcOk) {
            err = describe(cmd) + ": completion code " + hex(cc) + " for block " + std::to_string(block) +
                  " page " + std::to_string(page);
            return kOk;
        }
        rc = expect_len(data, kGetStatusResponseLen, describe(cmd), err);
        if (rc != kOk) {
            return rc;
        }
        if (data[0] != block || data[1] != page) {
            err = describe(cmd) + ": answer names block " + std::to_string(data[0]) + " page " +
                  std::to_string(data[1]) + " for block " + std::to_string(block) + " page " +
                  std::to_string(page);
            return kBadResponse;
        }
        for (std::size_t i = 0; i < kPageRecords; ++i) {
            const std::uint8_t *r = data.data() + 2 + i * kRecordSize;
            BMC_INFO_GET &out = recs[page * kPageRecords + i];
            std::memcpy(&out.ip, r, 4);
            out.stat[0] = r[4];
            out.stat[1] = r[5];
            out.timeout = r[6];
            out.pad = r[7];
        }
    }
    std::memcpy(first, recs, sizeof recs);
    block_out = block;
    return kOk;
}

int Client::get_targets(std::uint8_t block, std::uint8_t &cc, zvrbmc_held_target *first, std::string &err) {
    if (!opened_) {
        err = "bmc_init has not succeeded";
        return kNotInitialised;
    }
    // Paged like the status poll, and for the same reason: at most 35 data bytes back.
    const auto deadline = Clock::now() + std::chrono::milliseconds(cfg_.timeout_ms);
    zvrbmc_held_target recs[kBlockRecords] = {};
    std::vector<std::uint8_t> data;
    for (std::uint8_t page = 0; page < kPagesPerBlock; ++page) {
        const std::uint8_t req[2] = {block, page};
        int rc = exchange(deadline, kNetFn, kCmdGetTargets, req, sizeof req, cc, data, err);
        if (rc != kOk) {
            return rc;
        }
        if (cc != kCcOk) {
            err = describe(kCmdGetTargets) + ": completion code " + hex(cc) + " for block " +
                  std::to_string(block) + " page " + std::to_string(page) +
                  (cc == kCcInvalidCommand ? " (the BMC's firmware has no read-back)" : "");
            return kOk;
        }
        rc = expect_len(data, kGetTargetsResponseLen, describe(kCmdGetTargets), err);
        if (rc != kOk) {
            return rc;
        }
        if (data[0] != block || data[1] != page) {
            err = describe(kCmdGetTargets) + ": answer names block " + std::to_string(data[0]) + " page " +
                  std::to_string(data[1]) + " for block " + std::to_string(block) + " page " +
                  std::to_string(page);
            return kBadResponse;
        }
        for (std::size_t i = 0; i < kPageRecords; ++i) {
            const std::uint8_t *r = data.data() + 2 + i * kRecordSize;
            zvrbmc_held_target &out = recs[page * kPageRecords + i];
            std::memcpy(&out.ip, r, 4);
            out.ctrl = r[4];
            out.timeout = r[5];
            out.result = static_cast<std::uint8_t>((r[6] & kResultMask) >> kResultShift);
            out.status = r[7];
        }
    }
    std::memcpy(first, recs, sizeof recs);
    return kOk;
}

int Client::get_firmware_state(std::uint8_t &cc, zvrbmc_firmware_state &state, std::string &err) {
    std::vector<std::uint8_t> data;
    int rc = request(kCmdGetFirmwareState, {}, cc, data, err);
    if (rc != kOk) {
        return rc;
    }
    if (cc != kCcOk) {
        err = describe(kCmdGetFirmwareState) + ": completion code " + hex(cc) +
              (cc == kCcInvalidCommand ? " (the BMC's firmware has no read-back)" : "");
        return kOk;
    }
    rc = expect_len(data, kFirmwareStateLen, describe(kCmdGetFirmwareState), err);
    if (rc != kOk) {
        return rc;
    }
    auto u16 = [&](std::size_t at) { return static_cast<unsigned>(data[at] | (data[at + 1] << 8)); };
    auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
               static_cast<std::uint32_t>(data[at + 2]) << 16 |
               static_cast<std::uint32_t>(data[at + 3]) << 24;
    };
    state.host_alive = data[0] != 0 ? 1 : 0;
    state.access_timeout_s = u16(1);
    state.status_age_s = u16(3) == 0xffff ? -1 : static_cast<int>(u16(3));
    state.last_status = data[5];
    state.period_ms = u16(6);
    state.datagrams_sent = u32(8);
    state.datagrams_received = u32(12);
    return kOk;
}

}  // namespace tavik::bmc
