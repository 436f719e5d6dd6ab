// SPDX-License-Identifier: GPL-3.0-or-later
// Choosing the cipher suite of a LAN 2.0 session (`cipher_suite = auto`): before the first
// session to a BMC, Get Channel Cipher Suites (App 0x54, no session needed) lists what its
// channel offers, and the strongest suite both sides support is taken: 17 (RAKP-HMAC-SHA256,
// HMAC-SHA256-128, AES-CBC-128) before 3 (the same with SHA1). OpenBMC offers 17 only,
// recent Intel boards have 3 disabled, older BMCs offer 3 only. Plain functions; the query
// owns its socket: safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavik::bmc {

// `cipher_suite = auto` in the access file.
inline constexpr std::uint8_t kCipherSuiteAuto = 0xff;
// Taken when a BMC does not answer the list: the suite tavik used before it chose.
inline constexpr std::uint8_t kCipherSuiteFallback = 3;

// The suite numbers in Get Channel Cipher Suites record data (records of 0xC0 and the
// suite, or 0xC1, the suite and a 3-byte OEM IANA, each followed by its algorithms).
std::vector<std::uint8_t> offered_suites(const std::vector<std::uint8_t> &records);

// The strongest suite of `offered` that tavik speaks (17, then 3); false with the reason
// (naming what was offered) when there is none.
bool choose_suite(const std::vector<std::uint8_t> &offered, std::uint8_t &suite, std::string &why);

// Asks the BMC at host (a name or IPv4 address):port for its cipher suite records,
// waiting at most `timeout_ms` for each answer; false with the reason otherwise.
bool query_cipher_suites(const std::string &host, std::uint16_t port, unsigned timeout_ms,
                         std::vector<std::uint8_t> &records, std::string &err);

// The suite for a session to host:port: `configured`, or for auto the choice from the
// BMC's list, or kCipherSuiteFallback when it gives none. `note` says what was done;
// `settled` whether the choice holds for later sessions (false: the BMC did not answer,
// ask again next time).
std::uint8_t session_suite(std::uint8_t configured, const std::string &host, std::uint16_t port,
                           unsigned timeout_ms, std::string &note, bool &settled);

}  // namespace tavik::bmc
