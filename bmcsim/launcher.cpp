// SPDX-License-Identifier: GPL-3.0-or-later
// tavik-bmcsim: runs one simulated BMC. It writes the ipmi_sim configuration (a LAN
// channel with one admin user, the heartbeat module), the matching BMC access file and
// its password file into a folder, runs ipmi_sim as its child in the foreground and stops
// it on SIGTERM or SIGINT. The child dies with the launcher (parent-death signal), so a
// killed launcher is a killed BMC. Single-threaded; signals are taken with sigwaitinfo.
// The files are written by launcher_files.cpp, the child is run by launcher_process.cpp.
#include "launcher.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"
#include "firmware.h"

#ifndef TAVIK_BMCSIM_BUILD_EXE
#define TAVIK_BMCSIM_BUILD_EXE ""
#endif
#ifndef TAVIK_BMCSIM_BUILD_MODULE
#define TAVIK_BMCSIM_BUILD_MODULE ""
#endif
#ifndef TAVIK_BMCSIM_INSTALLED_MODULE
#define TAVIK_BMCSIM_INSTALLED_MODULE "/usr/lib/tavik/tavik_bmcsim.so"
#endif
#ifndef TAVIK_BMCSIM_BUILD_WATCHDOG
#define TAVIK_BMCSIM_BUILD_WATCHDOG ""
#endif
#ifndef TAVIK_BMCSIM_INSTALLED_WATCHDOG
#define TAVIK_BMCSIM_INSTALLED_WATCHDOG "/usr/lib/tavik/tavik_watchdog.so"
#endif

namespace tavik::bmcsim::launcher {

__attribute__((format(printf, 1, 2))) void fail(const char *fmt, ...) {
    std::fputs("tavik-bmcsim: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

namespace {

std::string self_exe() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// The module: --module, then TAVIK_BMCSIM_MODULE, then the one built beside this
// program when it runs from the build tree, else the installed one.
std::string find_module(const Args &a) {
    if (!a.module.empty()) {
        return a.module;
    }
    if (a.standard) {
        const char *env = std::getenv("TAVIK_BMCSIM_WATCHDOG_MODULE");
        if (env != nullptr && *env != '\0') {
            return env;
        }
        const std::string build_exe = TAVIK_BMCSIM_BUILD_EXE;
        return !build_exe.empty() && self_exe() == build_exe ? TAVIK_BMCSIM_BUILD_WATCHDOG
                                                             : TAVIK_BMCSIM_INSTALLED_WATCHDOG;
    }
    if (const char *env = std::getenv("TAVIK_BMCSIM_MODULE"); env != nullptr && *env != '\0') {
        return env;
    }
    const std::string build_exe = TAVIK_BMCSIM_BUILD_EXE;
    if (!build_exe.empty() && self_exe() == build_exe) {
        return TAVIK_BMCSIM_BUILD_MODULE;
    }
    return TAVIK_BMCSIM_INSTALLED_MODULE;
}

int run(const Args &a) {
    Ip4 ip{};
    if (!tavik::bmcsim::parse_ip(a.addr, ip) || ip == Ip4{}) {
        fail("--addr '%s' is not an IPv4 address of this machine", a.addr.c_str());
        return kExitUsage;
    }
    if (a.port == a.hb_port && !a.standard) {
        fail("--port and --hb-port are both %u; the LAN channel and the heartbeats need two ports", a.port);
        return kExitUsage;
    }
    if (a.local_port != 0 && (!a.standard || a.local_port == a.port)) {
        fail("--local-port %u needs --standard and a port other than --port", a.local_port);
        return kExitUsage;
    }
    if (a.vm_port != 0 && (a.vm_port == a.port || a.vm_port == a.local_port)) {
        fail("--vm-port %u is a LAN port already; the virtual machine's interface needs a port of its own",
             a.vm_port);
        return kExitUsage;
    }
    if (!plain_word(a.user) || a.user.size() > tavik::bmc::kMaxUserLen) {
        fail("--user '%s' must be 1-16 printable characters without spaces or quotes", a.user.c_str());
        return kExitUsage;
    }
    if (a.standard &&
        (!plain_word(a.peer_user) || a.peer_user.size() > tavik::bmc::kMaxUserLen || a.peer_user == a.user)) {
        fail("--peer-user '%s' must be 1-16 printable characters without spaces or quotes, other than --user",
             a.peer_user.c_str());
        return kExitUsage;
    }
    const std::string options = a.standard ? std::string("standard") : module_options(a);
    tavik::bmcsim::Options parsed;
    std::string err;
    if (!a.standard && !tavik::bmcsim::parse_options(options, parsed, err)) {
        fail("%s", err.c_str());
        return kExitUsage;
    }
    const std::string module = find_module(a);
    if (module.find('"') != std::string::npos || ::access(module.c_str(), R_OK) != 0) {
        fail("%s module %s cannot be read (set --module or %s)", a.standard ? "watchdog" : "heartbeat",
             module.c_str(), a.standard ? "TAVIK_BMCSIM_WATCHDOG_MODULE" : "TAVIK_BMCSIM_MODULE");
        return kExitFailure;
    }
    if (!check_free(ip, a.port, "LAN address") ||
        (a.local_port != 0 && !check_free(ip, a.local_port, "local LAN address")) ||
        (!a.standard && !check_free(ip, a.hb_port, "heartbeat address")) ||
        (a.vm_port != 0 && !check_free(ip, a.vm_port, "virtual machine interface", SOCK_STREAM))) {
        return kExitFailure;
    }
    if (!make_dir(a.dir)) {
        return kExitFailure;
    }
    char real[PATH_MAX];
    if (::realpath(a.dir.c_str(), real) == nullptr) {
        fail("cannot resolve %s: %s", a.dir.c_str(), std::strerror(errno));
        return kExitFailure;
    }
    const std::string dir = real;
    if (dir.find_first_of("\" \t\n") != std::string::npos) {
        fail("folder %s must not contain quotes or white space", dir.c_str());
        return kExitFailure;
    }
    std::string password;
    if (!make_dir(dir + "/state") || !ensure_password(dir + "/password", password)) {
        return kExitFailure;
    }
    if (!plain_word(password)) {
        fail("the password in %s/password must be printable without spaces or quotes", dir.c_str());
        return kExitFailure;
    }
    Args args = a;
    std::string peer_password;
    if (a.standard) {
        if (args.peer_password_file.empty()) {
            args.peer_password_file = dir + "/peer-password";
        }
        if (!ensure_password(args.peer_password_file, peer_password)) {
            return kExitFailure;
        }
        if (!plain_word(peer_password) ||
            args.peer_password_file.find_first_of(" \t\n") != std::string::npos) {
            fail("peer password file %s: the password must be printable without spaces or quotes",
                 args.peer_password_file.c_str());
            return kExitFailure;
        }
    }
    if (!write_file(dir + "/lan.conf", lan_conf(args, ip, password, module, options, peer_password), 0600) ||
        !write_file(dir + "/emu.cmd", emu_commands(), 0644) ||
        !write_file(dir + "/bmc.conf", bmc_conf(args, dir), 0644)) {
        return kExitFailure;
    }

    sigset_t mask, old_mask;
    sigemptyset(&mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
        sigaddset(&mask, s);
    }
    sigprocmask(SIG_BLOCK, &mask, &old_mask);

    const std::string sim =
        !a.ipmi_sim.empty() ? a.ipmi_sim
        : std::getenv("TAVIK_IPMI_SIM") != nullptr && *std::getenv("TAVIK_IPMI_SIM") != '\0'
            ? std::string(std::getenv("TAVIK_IPMI_SIM"))
            : std::string("ipmi_sim");
    const pid_t child = start_simulator(
        {sim, "-c", dir + "/lan.conf", "-f", dir + "/emu.cmd", "-s", dir + "/state", "-n"}, old_mask);
    if (child < 0) {
        return kExitFailure;
    }
    const std::string pid_file = dir + "/ipmi_sim.pid";
    write_file(pid_file, std::to_string(child) + "\n", 0644);

    bool ready = false;
    const auto ready_until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    tavik::bmc::Pinger pinger;
    if (!pinger.open(err)) {
        fail("%s", err.c_str());
        stop_simulator(child);
        ::unlink(pid_file.c_str());
        return kExitFailure;
    }
    std::uint8_t tag = 0;
    for (;;) {
        if (!ready && udp_bound(ip, a.port) && (a.standard || udp_bound(ip, a.hb_port)) &&
            (a.local_port == 0 || udp_bound(ip, a.local_port)) &&
            (a.vm_port == 0 || tcp_listening(ip, a.vm_port)) && answers(pinger, ip, a.port, ++tag)) {
            ready = true;
            const std::string vm = a.vm_port != 0 ? ", a virtual machine's system interface on TCP port " +
                                                        std::to_string(a.vm_port)
                                                  : "";
            if (a.standard) {
                const std::string local =
                    a.local_port != 0 ? ", the host's own access on port " + std::to_string(a.local_port)
                                      : "";
                std::printf(
                    "tavik-bmcsim: BMC %s:%u ready, standard IPMI 2.0 with no heartbeat firmware%s%s, access "
                    "file %s/bmc.conf\n",
                    a.addr.c_str(), a.port, local.c_str(), vm.c_str(), dir.c_str());
            } else {
                std::printf(
                    "tavik-bmcsim: BMC %s:%u ready, heartbeats on port %u%s, access file %s/bmc.conf\n",
                    a.addr.c_str(), a.port, a.hb_port, vm.c_str(), dir.c_str());
            }
            std::fflush(stdout);
        }
        if (!ready && std::chrono::steady_clock::now() > ready_until) {
            const unsigned second = a.standard ? a.local_port : a.hb_port;
            fail("ipmi_sim did not bind and answer on %s:%u%s%s within 5 s", a.addr.c_str(), a.port,
                 second == 0 ? "" : (" and port " + std::to_string(second)).c_str(),
                 a.vm_port == 0 ? "" : (" and TCP port " + std::to_string(a.vm_port)).c_str());
            stop_simulator(child);
            ::unlink(pid_file.c_str());
            return kExitFailure;
        }
        timespec wait{0, ready ? 500000000L : 10000000L};
        siginfo_t info{};
        int sig = sigtimedwait(&mask, &info, &wait);
        if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) {
            stop_simulator(child);
            ::unlink(pid_file.c_str());
            return 0;
        }
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            fail("ipmi_sim %s", describe_status(status).c_str());
            ::unlink(pid_file.c_str());
            return kExitFailure;
        }
    }
}

}  // namespace

}  // namespace tavik::bmcsim::launcher

int main(int argc, char **argv) {
    namespace launcher = tavik::bmcsim::launcher;
    CLI::App app{"Runs one simulated BMC: ipmi_sim with the tavik heartbeat module.", "tavik-bmcsim"};
    launcher::Args a;
    app.add_option("--addr", a.addr, "IPv4 address of the BMC (LAN channel and heartbeats)")->required();
    app.add_option("--port", a.port, "UDP port of the LAN channel")->required()->check(CLI::Range(1, 65535));
    app.add_option("--dir", a.dir, "folder for the configuration, state and access files")->required();
    app.add_option("--hb-port", a.hb_port, "UDP port of the heartbeat datagrams (the same on every BMC)")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    app.add_option("--period-ms", a.period_ms, "milliseconds between heartbeat rounds")
        ->check(CLI::Range(10, 60000))
        ->capture_default_str();
    app.add_option("--timeout-ms", a.timeout_ms, "timeout_ms written into the access file")
        ->check(CLI::Range(static_cast<int>(tavik::bmc::kMinTimeoutMs),
                           static_cast<int>(tavik::bmc::kMaxTimeoutMs)))
        ->capture_default_str();
    app.add_option("--user", a.user, "the admin user's name")->capture_default_str();
    app.add_option("--access-timeout", a.access_timeout,
                   "host-status time-out in seconds until one is set (0: none)")
        ->check(CLI::Range(0, 65535));
    app.add_option("--module", a.module,
                   "the heartbeat module (default: TAVIK_BMCSIM_MODULE, then built-in path)");
    app.add_option("--ipmi-sim", a.ipmi_sim,
                   "the simulator program (default: TAVIK_IPMI_SIM, then ipmi_sim)");
    app.add_option("--refuse", a.refuse,
                   "test hook: answer command CMD with completion code CC [COUNT times]")
        ->type_name("CMD:CC[:COUNT]");
    app.add_option("--drop-from", a.drop_from, "test hook: ignore heartbeats from this address")
        ->type_name("IP");
    app.add_option("--drop-to", a.drop_to, "test hook: send no heartbeats to this address")->type_name("IP");
    app.add_option("--collecting", a.collecting,
                   "test hook: answer 'still collecting' for the first N polls");
    app.add_option("--loss", a.loss,
                   "test hook: drop PCT percent of the heartbeats received, never MAXMS ms in a row")
        ->type_name("PCT[:MAXMS]");
    app.add_option("--seed", a.seed, "seed of the loss hook's random numbers (default 1)");
    app.add_flag("--standard", a.standard,
                 "a stock IPMI 2.0 BMC: no heartbeat firmware, only the IPMI 2.0 watchdog module, "
                 "and a peer user for driver = standard");
    app.add_option("--peer-user", a.peer_user, "the peer user's name (user privilege), for --standard")
        ->capture_default_str();
    app.add_option("--local-port", a.local_port,
                   "for --standard: a second LAN channel on this UDP port for the host's own access "
                   "(as in-band access would be), named in the access file; 0: none")
        ->check(CLI::Range(0, 65535));
    app.add_option("--vm-port", a.vm_port,
                   "a TCP port on --addr for a QEMU guest's system interface (ipmi-bmc-extern, KCS): the "
                   "guest reaches this BMC in-band through /dev/ipmi0; 0: none")
        ->check(CLI::Range(0, 65535));
    app.add_option("--peer-password-file", a.peer_password_file,
                   "the peer user's password file for --standard, shared by the cluster (made when "
                   "missing; default DIR/peer-password)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return launcher::kExitUsage;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        return launcher::run(a);
    } catch (const std::exception &e) {
        launcher::fail("%s", e.what());
        return launcher::kExitFailure;
    }
}
