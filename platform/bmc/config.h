// SPDX-License-Identifier: GPL-3.0-or-later
// The BMC access file (bmc.conf): `key = value` lines saying how to reach the local BMC,
// and the password file it names. The parser takes text, so it is tested without files.
// Plain functions over values: safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavik::bmc {

// Inband and Lan speak tavik's OEM heartbeat protocol to the local BMC; Standard needs
// only IPMI 2.0 (standard.h): the local BMC in-band, or over LAN when `host` is given.
enum class Driver { Inband, Lan, Standard };

struct Config {
    std::string path;  // the file it came from, for messages
    Driver driver = Driver::Inband;
    std::string host;
    std::uint16_t port = 623;
    std::string user;
    std::string password_file;         // absolute, or relative to the access file's folder
    std::string password;              // read from password_file by load_config
    std::uint8_t privilege = 4;        // IPMI privilege level: 2 user, 3 operator, 4 admin
    std::uint8_t cipher_suite = 0xff;  // kCipherSuiteAuto: chosen from what the BMC offers
    unsigned timeout_ms = 2000;
    // The standard driver's sessions to the peers' BMCs (user privilege is enough).
    std::string peer_user;
    std::string peer_password_file;
    std::string peer_password;  // read from peer_password_file by load_config
    std::uint16_t peer_port = 623;
    // Peers' BMCs (IPv4, network byte order) whose watchdog running bit is wrong: their
    // leases are judged by the countdown from the first readings on.
    std::vector<std::uint32_t> peer_running_bit_wrong;

    // Whether the local BMC is reached over LAN 2.0.
    bool lan() const { return driver == Driver::Lan || (driver == Driver::Standard && !host.empty()); }

    // "host:port" as FreeIPMI takes it.
    std::string endpoint() const;
    // A short name for messages: "127.0.1.1:9001" or "in-band BMC".
    std::string target() const;
};

inline constexpr unsigned kMinTimeoutMs = 50;
inline constexpr unsigned kMaxTimeoutMs = 600000;
inline constexpr std::size_t kMaxUserLen = 16;      // IPMI user names
inline constexpr std::size_t kMaxPasswordLen = 20;  // IPMI 2.0 passwords

// Parses the text of an access file. `origin` names it in messages and is the base for a
// relative password_file. The password itself is not read. On failure returns false
// with a message naming the line and the key or value.
bool parse_config(std::string_view text, const std::string &origin, Config &out, std::string &err);

// Reads the password file: a regular file not readable by group or others; its first
// line is the password.
bool read_password(const std::string &path, std::string &password, std::string &err);

enum class LoadError { None, Missing, Invalid, Password };

// Reads and parses `path`, then the password file for the LAN driver.
LoadError load_config(const std::string &path, Config &out, std::string &err);

}  // namespace tavik::bmc
