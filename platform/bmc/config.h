// SPDX-License-Identifier: GPL-3.0-or-later
// The BMC access file (bmc.conf): `key = value` lines saying how to reach the local BMC,
// and the password file it names. The parser takes text, so it is tested without files.
// Plain functions over values: safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavik::bmc {

// Inband and Lan speak tavik's OEM heartbeat protocol to the local BMC; Standard needs
// only IPMI 2.0 (standard.h): the local BMC in-band, or over LAN when `host` is given.
enum class Driver { Inband, Lan, Standard };

// What tells a host's peers (standard driver) that the host is alive. Watchdog: tavik's own
// lease on the host's BMC watchdog (lease.h). Observe: another program owns that watchdog
// (systemd through ipmi_watchdog, bmc-watchdog, a vendor agent); tavik never writes it, and
// the host counts as alive while that program keeps petting it. None: the BMC's presence
// only: a hung host whose BMC still answers stays alive for its peers.
enum class LeaseSource { Watchdog, Observe, None };

// "watchdog", "observe" or "none": the words bmc.conf and the tools use.
const char *lease_source_name(LeaseSource s);

// FreeIPMI's LAN 2.0 workaround flags, by the names ipmi-raw(8) gives them (-W).
inline constexpr unsigned kWorkaroundOpenSessionPrivilege = 0x10;  // "opensesspriv"
// ipmi_sim (and some BMCs) grant the session privilege only with opensesspriv.
inline constexpr unsigned kDefaultWorkarounds = kWorkaroundOpenSessionPrivilege;
// Parses "name,name ..." or "none"; false with the first unknown name in `bad`.
bool parse_workarounds(std::string_view v, unsigned &out, std::string &bad);
// The names of the flags set, separated by commas ("none" for none).
std::string workarounds_text(unsigned flags);

// One peer's BMC as this host reaches and judges it: the file's peer keys, overridden by a
// `[peer ADDRESS]` section.
struct PeerSettings {
    std::uint16_t port = 623;
    std::string user;
    std::string password_file;
    std::string password;  // as read when the library started
    std::uint8_t cipher_suite = 0xff;
    unsigned workarounds = kDefaultWorkarounds;
    LeaseSource lease = LeaseSource::Watchdog;  // what that host's BMC is expected to show
};

// What a `[peer ADDRESS]` section sets; unset keys come from the file's own.
struct PeerSection {
    unsigned line = 0;  // of the section's header, for messages
    std::optional<std::uint16_t> port;
    std::optional<std::string> user;
    std::optional<std::string> password_file;
    std::optional<std::uint8_t> cipher_suite;
    std::optional<unsigned> workarounds;
    std::optional<LeaseSource> lease;
};

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
    unsigned workarounds = kDefaultWorkarounds;
    // This host's own lease source, and what its peers are expected to show unless a
    // section says otherwise.
    LeaseSource lease = LeaseSource::Watchdog;
    unsigned timeout_ms = 2000;
    // The standard driver's sessions to the peers' BMCs (user privilege is enough).
    std::string peer_user;
    std::string peer_password_file;
    std::string peer_password;  // read from peer_password_file by load_config
    std::uint16_t peer_port = 623;
    // Peers' BMCs (IPv4, network byte order) whose watchdog running bit is wrong: their
    // leases are judged by the countdown from the first readings on.
    std::vector<std::uint32_t> peer_running_bit_wrong;
    // `[peer ADDRESS]` sections by address (network byte order).
    std::map<std::uint32_t, PeerSection> peer_sections;
    // Every peer password file's password by its path, as read by load_config.
    std::map<std::string, std::string> peer_passwords;

    // The settings for the peer's BMC at `ip` (network byte order).
    PeerSettings peer(std::uint32_t ip) const;

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
