// SPDX-License-Identifier: GPL-3.0-or-later
// The files tavik-bmcsim writes into its folder: ipmi_sim's configuration and emulator
// commands, the BMC access file, and the password files that survive restarts.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "config.h"
#include "launcher.h"

// tavik-bmcsim is single-threaded: the C library's shared buffers (strerror, strsignal)
// and process-wide calls are safe here.
// NOLINTBEGIN(concurrency-mt-unsafe)
namespace tavik::bmcsim::launcher {

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

namespace {

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

}  // namespace

std::string lan_conf(const Args &a, const Ip4 &ip, const std::string &password, const std::string &module,
                     const std::string &options, const std::string &peer_password) {
    char guid[33];
    (void)std::snprintf(guid, sizeof guid, "74617669%02x%02x%02x%02x%04x000000000000", ip[0], ip[1], ip[2],
                        ip[3], a.port & 0xffff);
    std::ostringstream c;
    c << "# Simulated BMC " << a.addr << ":" << a.port << ", written by tavik-bmcsim.\n"
      << "name \"tavik-" << a.addr << "\"\n"
      << "set_working_mc 0x20\n";
    lan_channel(c, 1, a.addr, a.port, guid);
    if (a.local_port != 0) {
        lan_channel(c, 2, a.addr, a.local_port, guid);
    }
    if (a.vm_port != 0) {
        c << "  serial kcs " << a.addr << " " << a.vm_port << " codec VM\n";
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

}  // namespace tavik::bmcsim::launcher
// NOLINTEND(concurrency-mt-unsafe)
