// SPDX-License-Identifier: GPL-3.0-or-later
// The heartbeat firmware's behaviour: target programming, result states, the host status
// with its lapse, heartbeat datagrams and the test hooks. Single-threaded (see firmware.h).
#include "firmware.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace tavik::bmcsim {

using namespace bmcproto;

namespace {

std::uint8_t result_byte(std::uint8_t state) {
    return static_cast<std::uint8_t>(state << kResultShift);
}

}  // namespace

Firmware::Firmware(const Options &opt) : opt_(opt), rng_(opt.seed) {
    collecting_left_.fill(opt.collecting);
}

Response Firmware::handle(std::uint8_t cmd, const std::uint8_t *data, std::size_t len, std::int64_t now_ms) {
    if (cmd != kCmdTestControl) {
        auto it = opt_.refuse.find(cmd);
        if (it != opt_.refuse.end()) {
            Response r;
            r.cc = it->second.cc;
            if (it->second.remaining > 0 && --it->second.remaining == 0) {
                opt_.refuse.erase(it);
            }
            return r;
        }
    }
    switch (cmd) {
        case kCmdSetTargets:
            return set_targets(data, len, now_ms);
        case kCmdGetStatus:
            return get_status(data, len, now_ms);
        case kCmdGetTargets:
            return get_targets(data, len, now_ms);
        case kCmdGetFirmwareState:
            return get_firmware_state(len, now_ms);
        case kCmdSetHostStatus:
            return set_host_status(data, len, now_ms);
        case kCmdSetAccessTime:
            return set_access_time(data, len);
        case kCmdTestControl:
            return test_control(data, len, now_ms);
        default: {
            Response r;
            r.cc = kCcInvalidCommand;
            return r;
        }
    }
}

Response Firmware::set_targets(const std::uint8_t *data, std::size_t len, std::int64_t now_ms) {
    Response r;
    if (len != kSetTargetsRequestLen) {
        r.cc = kCcLengthInvalid;
        return r;
    }
    const unsigned block = data[0];
    if (block < 1 || block > kMaxBlocks) {
        r.cc = kCcOutOfRange;
        return r;
    }
    // Check the whole block before touching any slot: a refused block changes nothing.
    // A record with address 0 is an unused slot whatever its ctrl: the daemon starts a node
    // whose configured address is not IPv4 with address 0, and refusing the block for it
    // would leave the other fifteen targets of the block stopped for good.
    const std::uint8_t *rec = data + 1;
    for (std::size_t i = 0; i < kBlockRecords; ++i, rec += kRecordSize) {
        if (rec[4] != kCtrlStop && rec[4] != kCtrlStart) {
            r.cc = kCcInvalidData;
            return r;
        }
    }
    rec = data + 1;
    for (std::size_t i = 0; i < kBlockRecords; ++i, rec += kRecordSize) {
        Slot &s = slots_[(block - 1) * kBlockRecords + i];
        Ip4 ip{rec[0], rec[1], rec[2], rec[3]};
        const std::uint8_t ctrl = rec[4];
        if (ip == s.ip && ctrl == s.ctrl) {
            s.timeout = rec[5];  // same target, same state: its history stays
            continue;
        }
        s.ip = ip;
        s.ctrl = ctrl;
        s.timeout = s.used() ? rec[5] : 0;
        s.started_ms = now_ms;
        if (!s.used()) {
            s.ctrl = kCtrlStop;
        }
        if (s.started()) {
            peers_.try_emplace(ip);
        }
    }
    forget_unused_peers();
    r.put(static_cast<std::uint8_t>(block));
    return r;
}

void Firmware::forget_unused_peers() {
    for (auto it = peers_.begin(); it != peers_.end();) {
        bool used =
            std::any_of(slots_.begin(), slots_.end(), [&](const Slot &s) { return s.ip == it->first; });
        it = used ? std::next(it) : peers_.erase(it);
    }
}

void Firmware::record(const Slot &slot, bool forced, std::int64_t now_ms, std::uint8_t *out) const {
    std::memcpy(out, slot.ip.data(), 4);
    out[5] = 0;
    out[6] = slot.timeout;
    out[7] = 0;
    if (!slot.used()) {
        out[4] = result_byte(kResultEmpty);
        return;
    }
    if (!slot.started()) {
        out[4] = result_byte(kResultStopped);
        return;
    }
    if (forced) {
        out[4] = result_byte(kResultCollecting);
        return;
    }
    // A time-out of 0 would never let a datagram count; take it as the smallest, 1 s.
    const std::int64_t timeout_ms = std::int64_t{std::max<std::uint8_t>(slot.timeout, 1)} * 1000;
    const auto it = peers_.find(slot.ip);
    const bool heard = it != peers_.end() && it->second.heard && it->second.last_rx_ms >= slot.started_ms;
    if (!heard && now_ms - slot.started_ms < timeout_ms) {
        out[4] = result_byte(kResultCollecting);
        return;
    }
    out[4] = result_byte(kResultReady);
    std::uint8_t st = 0;
    if (heard && now_ms - it->second.last_rx_ms <= timeout_ms) {
        st |= kStatusDatagramSeen;
    }
    if (heard && it->second.alive) {
        st |= kStatusHostAlive;
    }
    out[5] = st;
}

Response Firmware::get_status(const std::uint8_t *data, std::size_t len, std::int64_t now_ms) {
    Response r;
    if (len != kGetStatusRequestLen) {
        r.cc = kCcLengthInvalid;
        return r;
    }
    const unsigned block = data[0], page = data[1];
    if (block < 1 || block > kMaxBlocks || page >= kPagesPerBlock) {
        r.cc = kCcOutOfRange;
        return r;
    }
    // A poll of a block starts at its first page; the "still collecting" hook counts those.
    if (page == 0) {
        collecting_now_[block - 1] = collecting_left_[block - 1] > 0;
        if (collecting_now_[block - 1]) {
            --collecting_left_[block - 1];
        }
    }
    r.put(static_cast<std::uint8_t>(block));
    r.put(static_cast<std::uint8_t>(page));
    for (std::size_t i = 0; i < kPageRecords; ++i) {
        const Slot &s = slots_[(block - 1) * kBlockRecords + page * kPageRecords + i];
        record(s, collecting_now_[block - 1], now_ms, r.data.data() + r.len);
        r.len += kRecordSize;
    }
    return r;
}

// The read-back answers what the slots hold and what a poll would report for them now,
// without counting as a poll: the "still collecting" hook neither applies nor counts
// down, so reading back never changes what the daemon sees.
Response Firmware::get_targets(const std::uint8_t *data, std::size_t len, std::int64_t now_ms) const {
    Response r;
    if (len != kGetTargetsRequestLen) {
        r.cc = kCcLengthInvalid;
        return r;
    }
    const unsigned block = data[0], page = data[1];
    if (block < 1 || block > kMaxBlocks || page >= kPagesPerBlock) {
        r.cc = kCcOutOfRange;
        return r;
    }
    r.put(static_cast<std::uint8_t>(block));
    r.put(static_cast<std::uint8_t>(page));
    for (std::size_t i = 0; i < kPageRecords; ++i) {
        const Slot &s = slots_[(block - 1) * kBlockRecords + page * kPageRecords + i];
        std::uint8_t result[kRecordSize];
        record(s, false, now_ms, result);
        std::uint8_t *out = r.data.data() + r.len;
        std::memcpy(out, s.ip.data(), 4);
        out[4] = s.ctrl;
        out[5] = s.timeout;
        out[6] = result[4];
        out[7] = result[5];
        r.len += kRecordSize;
    }
    return r;
}

Response Firmware::get_firmware_state(std::size_t len, std::int64_t now_ms) const {
    Response r;
    if (len != 0) {
        r.cc = kCcLengthInvalid;
        return r;
    }
    auto put16 = [&](std::uint32_t v) {
        r.put(static_cast<std::uint8_t>(v & 0xff));
        r.put(static_cast<std::uint8_t>((v >> 8) & 0xff));
    };
    auto put32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            r.put(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    };
    r.put(host_alive(now_ms) ? 1 : 0);
    put16(opt_.access_timeout_s);
    const std::int64_t since =
        had_status_ ? std::min<std::int64_t>((now_ms - last_status_ms_) / 1000, 0xfffe) : 0xffff;
    put16(static_cast<std::uint32_t>(since));
    r.put(last_status_);
    put16(opt_.period_ms > 0xffff ? 0xffff : opt_.period_ms);
    put32(counters_.sent);
    put32(counters_.received);
    return r;
}

Response Firmware::set_host_status(const std::uint8_t *data, std::size_t len, std::int64_t now_ms) {
    Response r;
    if (len != kSetHostStatusRequestLen) {
        r.cc = kCcLengthInvalid;
        return r;
    }
    if (data[0] != 1) {
        r.cc = kCcOutOfRange;  // one host per BMC: unit 1
        return r;
    }
    switch (data[1]) {
        case kHostStarted:
        case kHostRunning:
            announced_alive_ = true;
            break;
        case kHostShutdown:
        case kHostCheckStopped:
            announced_alive_ = false;
            break;
        default:
            r.cc = kCcInvalidData;
            return r;
    }
    had_status_ = true;
    last_status_ = data[1];
    last_status_ms_ = now_ms;
    return r;
}

Response Firmware::set_access_time(const std::uint8_t *data, std::size_t len) {
    Response r;
    if (len != kSetAccessTimeRequestLen) {
        r.cc = kCcLengthInvalid;
        return r;
    }
    opt_.access_timeout_s = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
    return r;
}

Response Firmware::test_control(const std::uint8_t *data, std::size_t len, std::int64_t now_ms) {
    Response r;
    if (len < 1) {
        r.cc = kCcLengthInvalid;
        return r;
    }
    switch (data[0]) {
        case kTestClearAll:
            if (len != 1) {
                r.cc = kCcLengthInvalid;
                break;
            }
            opt_.refuse.clear();
            opt_.drop_from.clear();
            opt_.drop_to.clear();
            collecting_left_.fill(0);
            collecting_now_.fill(false);
            opt_.loss_pct = 0;
            opt_.loss_max_ms = 0;
            break;
        case kTestRefuse:
            if (len != 3 && len != 4) {
                r.cc = kCcLengthInvalid;
            } else if (data[1] == kCmdTestControl) {
                r.cc = kCcInvalidData;
            } else if (data[2] == kCcOk) {
                opt_.refuse.erase(data[1]);
            } else {
                opt_.refuse[data[1]] = Refusal{data[2], len == 4 ? data[3] : 0u};
            }
            break;
        case kTestDrop: {
            if (len != 6) {
                r.cc = kCcLengthInvalid;
                break;
            }
            if (data[5] & ~(kDropFrom | kDropTo)) {
                r.cc = kCcInvalidData;
                break;
            }
            Ip4 ip{data[1], data[2], data[3], data[4]};
            if (data[5] & kDropFrom) {
                opt_.drop_from.insert(ip);
            } else {
                opt_.drop_from.erase(ip);
            }
            if (data[5] & kDropTo) {
                opt_.drop_to.insert(ip);
            } else {
                opt_.drop_to.erase(ip);
            }
            break;
        }
        case kTestCollecting:
            if (len != 2) {
                r.cc = kCcLengthInvalid;
                break;
            }
            collecting_left_.fill(data[1]);
            break;
        case kTestLoss: {
            if (len != 4) {
                r.cc = kCcLengthInvalid;
                break;
            }
            const unsigned max_ms = data[2] | (data[3] << 8);
            if (data[1] > 100 || max_ms > kMaxLossStretchMs) {
                r.cc = kCcInvalidData;
                break;
            }
            opt_.loss_pct = data[1];
            opt_.loss_max_ms = max_ms;
            break;
        }
        case kTestGetState: {
            if (len != 1) {
                r.cc = kCcLengthInvalid;
                break;
            }
            r.put(host_alive(now_ms) ? 1 : 0);
            r.put(static_cast<std::uint8_t>(opt_.access_timeout_s & 0xff));
            r.put(static_cast<std::uint8_t>(opt_.access_timeout_s >> 8));
            std::int64_t since = had_status_ ? (now_ms - last_status_ms_) / 1000 : 0xffff;
            since = std::min<std::int64_t>(since, 0xffff);
            r.put(static_cast<std::uint8_t>(since & 0xff));
            r.put(static_cast<std::uint8_t>(since >> 8));
            for (std::uint32_t v : {counters_.sent, counters_.received, counters_.dropped}) {
                for (int i = 0; i < 4; ++i) {
                    r.put(static_cast<std::uint8_t>(v >> (8 * i)));
                }
            }
            break;
        }
        default:
            r.cc = kCcInvalidData;
    }
    return r;
}

bool Firmware::host_alive(std::int64_t now_ms) const {
    if (!had_status_ || !announced_alive_) {
        return false;
    }
    return opt_.access_timeout_s == 0 ||
           now_ms - last_status_ms_ < std::int64_t{opt_.access_timeout_s} * 1000;
}

bool Firmware::is_started_target(const Ip4 &ip) const {
    return std::any_of(slots_.begin(), slots_.end(),
                       [&](const Slot &s) { return s.started() && s.ip == ip; });
}

void Firmware::receive(const Ip4 &from, const std::uint8_t *data, std::size_t len, std::int64_t now_ms) {
    if (len != kDatagramLen || std::memcmp(data, kDatagramMagic, 4) != 0 || data[4] != kDatagramVersion) {
        ++counters_.ignored;
        return;
    }
    if (opt_.drop_from.count(from) != 0) {
        ++counters_.dropped;
        return;
    }
    auto it = peers_.find(from);
    if (it == peers_.end() || !is_started_target(from)) {
        ++counters_.ignored;
        return;
    }
    if (lose(it->second, now_ms)) {
        ++counters_.dropped;
        return;
    }
    it->second.heard = true;
    it->second.last_rx_ms = now_ms;
    it->second.alive = (data[5] & kDatagramHostAlive) != 0;
    ++counters_.received;
}

// The first datagram from a sender is always taken, so every stretch of loss is measured
// from one that was accepted: with a bound, the gap between two accepted datagrams stays
// below loss_max_ms plus one period of the sender.
bool Firmware::lose(const Peer &peer, std::int64_t now_ms) {
    if (opt_.loss_pct == 0 || !peer.heard) {
        return false;
    }
    if (opt_.loss_max_ms != 0 && now_ms - peer.last_rx_ms >= std::int64_t{opt_.loss_max_ms}) {
        return false;
    }
    return std::uniform_int_distribution<unsigned>(0, 99)(rng_) < opt_.loss_pct;
}

std::vector<Datagram> Firmware::heartbeat(std::int64_t now_ms) {
    const bool alive = host_alive(now_ms);
    told_alive_ = alive;
    told_any_ = true;
    std::vector<Datagram> out;
    std::set<Ip4> done;
    for (const Slot &s : slots_) {
        if (!s.started() || !done.insert(s.ip).second) {
            continue;
        }
        if (opt_.drop_to.count(s.ip) != 0) {
            ++counters_.dropped;
            continue;
        }
        Datagram d;
        d.to = s.ip;
        std::memcpy(d.bytes.data(), kDatagramMagic, 4);
        d.bytes[4] = kDatagramVersion;
        d.bytes[5] = alive ? kDatagramHostAlive : 0;
        std::memcpy(d.bytes.data() + 8, opt_.addr.data(), 4);
        const std::uint32_t seq = sequence_++;
        for (int i = 0; i < 4; ++i) {
            d.bytes[12 + i] = static_cast<std::uint8_t>(seq >> (24 - 8 * i));
        }
        out.push_back(d);
        ++counters_.sent;
    }
    return out;
}

bool Firmware::announcement_due(std::int64_t now_ms) const {
    return told_any_ && told_alive_ != host_alive(now_ms);
}

}  // namespace tavik::bmcsim
