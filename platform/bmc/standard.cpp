// SPDX-License-Identifier: GPL-3.0-or-later
// The standard driver's target operations (standard.h).
#include "standard.h"

#include "bmc_protocol.h"
#include "result.h"

namespace tavik::bmc {

bool Standard::check_block(std::uint8_t block, std::uint8_t &cc, std::string &err) const {
    cc = 0;
    if (block >= 1 && block <= bmcproto::kMaxBlocks) {
        return true;
    }
    cc = bmcproto::kCcOutOfRange;
    err = "block " + std::to_string(block) + " does not exist (blocks 1 and 2)";
    return false;
}

int Standard::set_targets(std::uint8_t, std::uint8_t block, const BMC_INFO_SET *first, std::uint8_t &cc,
                          std::uint8_t &block_out, std::string &err) {
    if (!check_block(block, cc, err)) {
        return kOk;
    }
    for (std::size_t i = 0; i < bmcproto::kBlockRecords; ++i) {
        if (first[i].ctrl != bmcproto::kCtrlStart && first[i].ctrl != bmcproto::kCtrlStop) {
            cc = bmcproto::kCcInvalidData;
            err = "target " + std::to_string(i) + " of block " + std::to_string(block) + ": ctrl " +
                  std::to_string(first[i].ctrl) + " is neither start nor stop";
            return kOk;
        }
    }
    watch_.program(block, first);
    block_out = block;
    return kOk;
}

int Standard::get_status(std::uint8_t, std::uint8_t block, std::uint8_t &cc, std::uint8_t &block_out,
                         BMC_INFO_GET *first, std::string &err) {
    if (!check_block(block, cc, err)) {
        return kOk;
    }
    watch_.results(block, first);
    block_out = block;
    return kOk;
}

int Standard::get_targets(std::uint8_t block, std::uint8_t &cc, zvrbmc_held_target *first, std::string &err) {
    if (!check_block(block, cc, err)) {
        return kOk;
    }
    watch_.held(block, first);
    return kOk;
}

int Standard::read_watchdog(wdt::State &out, std::uint8_t &cc, std::string &err) {
    std::vector<std::uint8_t> data;
    int rc = local_.command(wdt::kNetFnApp, wdt::kCmdGet, {}, cc, data, err);
    if (rc != kOk || cc != 0) {
        return rc;
    }
    return wdt::decode_get(data, out, err) ? kOk : kBadResponse;
}

bool Standard::peers(std::vector<PeerView> &out, std::string &) {
    out = watch_.peers();
    return true;
}

}  // namespace tavik::bmc
