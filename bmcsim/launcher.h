// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of tavik-bmcsim: its options and error output (launcher.cpp), the files it
// writes into its folder (launcher_files.cpp) and the ipmi_sim process it runs and
// watches (launcher_process.cpp). Single-threaded.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware.h"
#include "presence.h"

namespace tavik::bmcsim::launcher {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Args {
    std::string addr, dir, user = "ipmiusr", module, ipmi_sim;
    unsigned port = 0, hb_port = tavik::bmcproto::kDefaultHeartbeatPort;
    unsigned period_ms = tavik::bmcproto::kDefaultPeriodMs, timeout_ms = 2000, access_timeout = 0,
             collecting = 0;
    std::vector<std::string> refuse, drop_from, drop_to;
    std::string loss;
    std::optional<std::uint32_t> seed;
    // --standard: a stock simulator with only the IPMI 2.0 watchdog module, and a peer user.
    bool standard = false;
    std::string peer_user = "tavikpeer", peer_password_file;
    // A second LAN channel for this host's own access (in-band access on a real server),
    // so that the BMC's network port can be cut while its host still holds the lease.
    unsigned local_port = 0;
    // A virtual machine's system interface: ipmi_sim listens on this TCP port of --addr for
    // QEMU's ipmi-bmc-extern device (the VM codec), which gives the guest a KCS interface to
    // this BMC, as a real server's host has; 0: none.
    unsigned vm_port = 0;
};

// "tavik-bmcsim: " and the message on stderr.
__attribute__((format(printf, 1, 2))) void fail(const char *fmt, ...);

// launcher_files.cpp. Each writer reports its failure through fail() and returns false.
// Replaces path whole (through path.tmp and a rename) with content and mode.
bool write_file(const std::string &path, const std::string &content, mode_t mode);
// A private folder, or one that is there already.
bool make_dir(const std::string &path);
bool ensure_password(const std::string &path, std::string &password);
// Non-empty printable ASCII without spaces and quotes: safe inside the quoted words of
// ipmi_sim's configuration.
bool plain_word(const std::string &s);
// The heartbeat module's option string for the test hooks given.
std::string module_options(const Args &a);
// ipmi_sim's configuration (-c), its emulator commands (-f) and the BMC access file.
std::string lan_conf(const Args &a, const Ip4 &ip, const std::string &password, const std::string &module,
                     const std::string &options, const std::string &peer_password);
std::string emu_commands();
std::string bmc_conf(const Args &a, const std::string &dir);

// launcher_process.cpp.
bool check_free(const Ip4 &ip, unsigned port, const char *what, int type = SOCK_DGRAM);
bool udp_bound(const Ip4 &ip, unsigned port);
bool tcp_listening(const Ip4 &ip, unsigned port);
// Whether the simulator at ip:port answers a presence ping within 50 ms.
bool answers(tavik::bmc::Pinger &pinger, const Ip4 &ip, unsigned port, std::uint8_t tag);
std::string describe_status(int status);
pid_t start_simulator(const std::vector<std::string> &argv, const sigset_t &old_mask);
void stop_simulator(pid_t pid);

}  // namespace tavik::bmcsim::launcher
