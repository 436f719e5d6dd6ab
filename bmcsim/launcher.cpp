// SPDX-License-Identifier: GPL-3.0-or-later
// tavik-bmcsim: runs one simulated BMC. It writes the ipmi_sim configuration (a LAN
// channel with one admin user, the heartbeat module), the matching BMC access file and
// its password file into a folder, runs ipmi_sim as its child in the foreground and stops
// it on SIGTERM or SIGINT. The child dies with the launcher (parent-death signal), so a
// killed launcher is a killed BMC. Single-threaded; signals are taken with sigwaitinfo.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "firmware.h"
#include "presence.h"

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

namespace {

using tavik::bmcsim::Ip4;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

__attribute__((format(printf, 1, 2))) void fail(const char *fmt, ...) {
    std::fputs("tavik-bmcsim: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

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
};

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

// Binds a UDP socket for a moment to see whether the address can be ours.
bool check_free(const Ip4 &ip, unsigned port, const char *what) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("cannot create a socket: %s", std::strerror(errno));
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    std::memcpy(&a.sin_addr, ip.data(), 4);
    int rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int e = errno;
    close(fd);
    if (rc == 0) {
        return true;
    }
    const std::string where = tavik::bmcsim::format_ip(ip) + ":" + std::to_string(port);
    if (e == EADDRINUSE) {
        fail("%s %s is busy (another program uses it)", what, where.c_str());
    } else if (e == EADDRNOTAVAIL) {
        fail("%s %s: the address is not on this machine", what, where.c_str());
    } else {
        fail("%s %s cannot be bound: %s", what, where.c_str(), std::strerror(e));
    }
    return false;
}

// Whether some socket of this machine is bound to ip:port (UDP), from /proc/net/udp.
bool udp_bound(const Ip4 &ip, unsigned port) {
    std::uint32_t raw = 0;
    std::memcpy(&raw, ip.data(), 4);
    char want[32];
    std::snprintf(want, sizeof want, "%08X:%04X", raw, port);
    std::ifstream in("/proc/net/udp");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        std::string sl, local;
        if (ss >> sl >> local && local == want) {
            return true;
        }
    }
    return false;
}

// Whether the simulator answers a presence ping within 50 ms. ipmi_sim binds its ports
// before it has run its command file and entered its loop; until then a session request
// waits unanswered, and a library that logs in at once times out.
bool answers(tavik::bmc::Pinger &pinger, const Ip4 &ip, unsigned port, std::uint8_t tag) {
    std::uint32_t raw = 0;
    std::memcpy(&raw, ip.data(), 4);
    const auto port16 = static_cast<std::uint16_t>(port);
    if (!pinger.ping(raw, port16, tag)) {
        return false;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        pollfd pfd{pinger.fd(), POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        bool more = true;
        while (more) {
            std::uint32_t from = 0;
            std::uint16_t from_port = 0;
            if (pinger.receive(tag, from, from_port, more) == tavik::bmc::Pinger::kPong && from == raw &&
                from_port == port16) {
                return true;
            }
        }
    }
}

bool write_file(const std::string &path, const std::string &content, mode_t mode) {
    const std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        fail("cannot write %s: %s", tmp.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = fchmod(fd, mode) == 0;
    std::size_t done = 0;
    while (ok && done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    int e = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        fail("cannot write %s: %s", path.c_str(), std::strerror(e));
    }
    return ok;
}

bool make_dir(const std::string &path) {
    if (::mkdir(path.c_str(), 0700) == 0) {
        return true;
    }
    struct stat st {};
    if (errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return true;
    }
    fail("cannot create folder %s: %s", path.c_str(),
         errno == EEXIST ? "a file is in the way" : std::strerror(errno));
    return false;
}

// The password survives restarts in the same folder, so that a library holding the
// access file can log in again to the restarted BMC.
bool ensure_password(const std::string &path, std::string &password) {
    if (::access(path.c_str(), F_OK) == 0) {
        std::string err;
        if (!tavik::bmc::read_password(path, password, err)) {
            fail("%s", err.c_str());
            return false;
        }
        return true;
    }
    static const char alphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    unsigned char rnd[16];
    if (getrandom(rnd, sizeof rnd, 0) != static_cast<ssize_t>(sizeof rnd)) {
        fail("cannot get random bytes for the password: %s", std::strerror(errno));
        return false;
    }
    password.clear();
    for (unsigned char c : rnd) {
        password += alphabet[c % (sizeof alphabet - 1)];
    }
    return write_file(path, password + "\n", 0600);
}

bool plain_word(const std::string &s) {
    for (unsigned char c : s) {
        if (c <= ' ' || c >= 0x7f || c == '"' || c == '\\') {
            return false;
        }
    }
    return !s.empty();
}

std::string module_options(const Args &a) {
    std::string o = "addr=" + a.addr + " hbport=" + std::to_string(a.hb_port) +
                    " period_ms=" + std::to_string(a.period_ms);
    if (a.access_timeout != 0) {
        o += " access_timeout=" + std::to_string(a.access_timeout);
    }
    if (a.collecting != 0) {
        o += " collecting=" + std::to_string(a.collecting);
    }
    for (const auto &r : a.refuse) {
        o += " refuse=" + r;
    }
    for (const auto &ip : a.drop_from) {
        o += " drop_from=" + ip;
    }
    for (const auto &ip : a.drop_to) {
        o += " drop_to=" + ip;
    }
    if (!a.loss.empty()) {
        o += " loss=" + a.loss;
    }
    if (a.seed) {
        o += " seed=" + std::to_string(*a.seed);
    }
    return o;
}

// One LAN channel; ipmi_sim takes one address per channel.
void lan_channel(std::ostringstream &c, unsigned channel, const std::string &addr, unsigned port,
                 const char *guid) {
    c << "  startlan " << channel << "\n"
      << "    addr " << addr << " " << port << "\n"
      << "    priv_limit admin\n"
      << "    allowed_auths_callback none md2 md5 straight\n"
      << "    allowed_auths_user none md2 md5 straight\n"
      << "    allowed_auths_operator none md2 md5 straight\n"
      << "    allowed_auths_admin none md2 md5 straight\n"
      << "    guid " << guid << "\n"
      << "  endlan\n";
}

std::string lan_conf(const Args &a, const Ip4 &ip, const std::string &password, const std::string &module,
                     const std::string &options, const std::string &peer_password) {
    char guid[33];
    std::snprintf(guid, sizeof guid, "74617669%02x%02x%02x%02x%04x000000000000", ip[0], ip[1], ip[2], ip[3],
                  a.port & 0xffff);
    std::ostringstream c;
    c << "# Simulated BMC " << a.addr << ":" << a.port << ", written by tavik-bmcsim.\n"
      << "name \"tavik-" << a.addr << "\"\n"
      << "set_working_mc 0x20\n";
    lan_channel(c, 1, a.addr, a.port, guid);
    if (a.local_port != 0) {
        lan_channel(c, 2, a.addr, a.local_port, guid);
    }
    c << "  user 2 true \"" << a.user << "\" \"" << password << "\" admin 30 none md2 md5 straight\n";
    if (a.standard) {
        c << "  user 3 true \"" << a.peer_user << "\" \"" << peer_password
          << "\" user 30 none md2 md5 straight\n";
    }
    c << "loadlib \"" << module << "\" \"" << options << "\"\n";
    return c.str();
}

std::string emu_commands() {
    return "mc_setbmc 0x20\n"
           "mc_add 0x20 0 no-device-sdrs 0x23 9 8 0x9f 0x1291 0xf02 persist_sdr\n"
           "mc_enable 0x20\n";
}

std::string bmc_conf(const Args &a, const std::string &dir) {
    std::ostringstream c;
    c << "# Access to the simulated BMC at " << a.addr << ":" << a.port << ", written by tavik-bmcsim.\n"
      << "driver = " << (a.standard ? "standard" : "lan") << "\n"
      << "host = " << a.addr << "\n"
      << "port = " << (a.local_port != 0 ? a.local_port : a.port) << "\n"
      << "user = " << a.user << "\n"
      << "password_file = " << dir << "/password\n"
      << "privilege = admin\n"
      << "cipher_suite = 3\n"
      << "timeout_ms = " << a.timeout_ms << "\n";
    if (a.standard) {
        c << "peer_user = " << a.peer_user << "\n"
          << "peer_password_file = " << a.peer_password_file << "\n"
          << "peer_port = " << a.port << "\n";
    }
    return c.str();
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("was killed by signal ") + strsignal(WTERMSIG(status));
    }
    return "stopped";
}

// Starts ipmi_sim; a failing exec is reported back through a close-on-exec pipe.
pid_t start_simulator(const std::vector<std::string> &argv, const sigset_t &old_mask) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        fail("cannot create a pipe: %s", std::strerror(errno));
        return -1;
    }
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        fail("cannot fork: %s", std::strerror(errno));
        close(pipefd[0]);
        close(pipefd[1]);
        return -1;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        // ipmi_sim -n does not read stdin, but it must be a valid descriptor.
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0 && null != STDIN_FILENO) {
            dup2(null, STDIN_FILENO);
            close(null);
        }
        signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        std::vector<char *> args;
        for (const auto &s : argv) {
            args.push_back(const_cast<char *>(s.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        int e = errno;
        ssize_t ignored = write(pipefd[1], &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    close(pipefd[1]);
    int e = 0;
    ssize_t n;
    do {
        n = read(pipefd[0], &e, sizeof e);
    } while (n < 0 && errno == EINTR);
    close(pipefd[0]);
    if (n == static_cast<ssize_t>(sizeof e)) {
        waitpid(pid, nullptr, 0);
        fail("cannot run %s: %s", argv[0].c_str(), std::strerror(e));
        return -1;
    }
    return pid;
}

// Stops the child: SIGTERM, then SIGKILL after two seconds.
void stop_simulator(pid_t pid) {
    kill(pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
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
        (!a.standard && !check_free(ip, a.hb_port, "heartbeat address"))) {
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
            (a.local_port == 0 || udp_bound(ip, a.local_port)) && answers(pinger, ip, a.port, ++tag)) {
            ready = true;
            if (a.standard) {
                const std::string local =
                    a.local_port != 0 ? ", the host's own access on port " + std::to_string(a.local_port)
                                      : "";
                std::printf(
                    "tavik-bmcsim: BMC %s:%u ready, standard IPMI 2.0 with no heartbeat firmware%s, access "
                    "file %s/bmc.conf\n",
                    a.addr.c_str(), a.port, local.c_str(), dir.c_str());
            } else {
                std::printf("tavik-bmcsim: BMC %s:%u ready, heartbeats on port %u, access file %s/bmc.conf\n",
                            a.addr.c_str(), a.port, a.hb_port, dir.c_str());
            }
            std::fflush(stdout);
        }
        if (!ready && std::chrono::steady_clock::now() > ready_until) {
            const unsigned second = a.standard ? a.local_port : a.hb_port;
            fail("ipmi_sim did not bind and answer on %s:%u%s within 5 s", a.addr.c_str(), a.port,
                 second == 0 ? "" : (" and port " + std::to_string(second)).c_str());
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

int main(int argc, char **argv) {
    CLI::App app{"Runs one simulated BMC: ipmi_sim with the tavik heartbeat module.", "tavik-bmcsim"};
    Args a;
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
    app.add_option("--peer-password-file", a.peer_password_file,
                   "the peer user's password file for --standard, shared by the cluster (made when "
                   "missing; default DIR/peer-password)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        return run(a);
    } catch (const std::exception &e) {
        fail("%s", e.what());
        return kExitFailure;
    }
}
