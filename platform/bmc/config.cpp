// SPDX-License-Identifier: GPL-3.0-or-later
// Parsing of the BMC access file and reading of its password file. Table-driven: each
// key has one setter that checks and stores its value. No shared state: thread-safe.
#include "config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "cipher_suites.h"

namespace tavik::bmc {

std::string Config::endpoint() const {
    return host + ":" + std::to_string(port);
}

std::string Config::target() const {
    return lan() ? endpoint() : std::string("in-band BMC");
}

namespace {

std::string_view trim(std::string_view s) {
    const char *ws = " \t\r";
    auto b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) {
        return {};
    }
    auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

bool parse_number(std::string_view v, unsigned long lo, unsigned long hi, unsigned long &out) {
    int base = 10;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    }
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out, base);
    return !v.empty() && ec == std::errc() && end == v.data() + v.size() && out >= lo && out <= hi;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string folder_of(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A setter checks one value and stores it; on failure it returns what was expected.
using Setter = std::function<bool(std::string_view value, Config &cfg, std::string &expected)>;

struct Key {
    const char *name;
    Setter set;
};

// A list of IPv4 addresses separated by spaces or commas.
bool parse_addresses(std::string_view v, std::vector<std::uint32_t> &out) {
    out.clear();
    std::size_t at = 0;
    while (at < v.size()) {
        const auto end = std::min(v.find_first_of(" \t,", at), v.size());
        if (end > at) {
            const std::string word(v.substr(at, end - at));
            in_addr a{};
            if (inet_pton(AF_INET, word.c_str(), &a) != 1) {
                return false;
            }
            out.push_back(a.s_addr);
        }
        at = end + 1;
    }
    return !out.empty();
}

const std::array<Key, 12> &keys() {
    static const std::array<Key, 12> table = {{
        {"driver",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "inband, lan or standard";
             if (v == "inband") {
                 c.driver = Driver::Inband;
             } else if (v == "lan") {
                 c.driver = Driver::Lan;
             } else if (v == "standard") {
                 c.driver = Driver::Standard;
             } else {
                 return false;
             }
             return true;
         }},
        {"host",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "a host name or IPv4 address without port";
             if (v.size() > 255 || v.find_first_of(" \t:/") != std::string_view::npos) {
                 return false;
             }
             c.host = v;
             return true;
         }},
        {"port",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "a port number 1-65535";
             unsigned long n = 0;
             if (!parse_number(v, 1, 65535, n)) {
                 return false;
             }
             c.port = static_cast<std::uint16_t>(n);
             return true;
         }},
        {"user",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "a user name of at most 16 bytes";
             if (v.size() > kMaxUserLen) {
                 return false;
             }
             c.user = v;
             return true;
         }},
        {"password_file",
         [](std::string_view v, Config &c, std::string &) {
             c.password_file = v;
             return true;
         }},
        {"privilege",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "user, operator or admin";
             if (iequals(v, "user")) {
                 c.privilege = 2;
             } else if (iequals(v, "operator")) {
                 c.privilege = 3;
             } else if (iequals(v, "admin")) {
                 c.privilege = 4;
             } else {
                 return false;
             }
             return true;
         }},
        {"cipher_suite",
         [](std::string_view v, Config &c, std::string &exp) {
             // The cipher suites FreeIPMI can speak.
             static const std::set<unsigned long> known = {0, 1, 2, 3, 6, 7, 8, 11, 12, 15, 16, 17};
             exp = "auto or one of 0, 1, 2, 3, 6, 7, 8, 11, 12, 15, 16, 17";
             if (v == "auto") {
                 c.cipher_suite = kCipherSuiteAuto;
                 return true;
             }
             unsigned long n = 0;
             if (!parse_number(v, 0, 255, n) || known.count(n) == 0) {
                 return false;
             }
             c.cipher_suite = static_cast<std::uint8_t>(n);
             return true;
         }},
        {"timeout_ms",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "milliseconds " + std::to_string(kMinTimeoutMs) + "-" + std::to_string(kMaxTimeoutMs);
             unsigned long n = 0;
             if (!parse_number(v, kMinTimeoutMs, kMaxTimeoutMs, n)) {
                 return false;
             }
             c.timeout_ms = static_cast<unsigned>(n);
             return true;
         }},
        {"peer_user",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "a user name of at most 16 bytes";
             if (v.size() > kMaxUserLen) {
                 return false;
             }
             c.peer_user = v;
             return true;
         }},
        {"peer_password_file",
         [](std::string_view v, Config &c, std::string &) {
             c.peer_password_file = v;
             return true;
         }},
        {"peer_port",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "a port number 1-65535";
             unsigned long n = 0;
             if (!parse_number(v, 1, 65535, n)) {
                 return false;
             }
             c.peer_port = static_cast<std::uint16_t>(n);
             return true;
         }},
        {"peer_running_bit_wrong",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "IPv4 addresses of peers' BMCs, separated by spaces or commas";
             return parse_addresses(v, c.peer_running_bit_wrong);
         }},
    }};
    return table;
}

// The standard driver needs the peers' credentials, and the local ones only when the local
// BMC is reached over LAN; the peer keys mean nothing to the OEM drivers.
bool check_standard_keys(Config &cfg, const std::set<std::string> &seen, const std::string &origin,
                         std::string &err) {
    const bool standard = cfg.driver == Driver::Standard;
    for (const char *k : {"peer_user", "peer_password_file", "peer_port", "peer_running_bit_wrong"}) {
        if (!standard && seen.count(k) != 0) {
            err = origin + ": key '" + k + "' needs driver = standard";
            return false;
        }
        const bool optional =
            std::string_view(k) == "peer_port" || std::string_view(k) == "peer_running_bit_wrong";
        if (standard && seen.count(k) == 0 && !optional) {
            err = origin + ": driver = standard needs key '" + k + "'";
            return false;
        }
    }
    if (standard && cfg.peer_password_file[0] != '/') {
        cfg.peer_password_file = folder_of(origin) + "/" + cfg.peer_password_file;
    }
    if (standard && seen.count("host") != 0) {
        for (const char *k : {"user", "password_file"}) {
            if (seen.count(k) == 0) {
                err = origin + ": driver = standard with a host needs key '" + k + "'";
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool parse_config(std::string_view text, const std::string &origin, Config &out, std::string &err) {
    Config cfg;
    cfg.path = origin;
    std::set<std::string> seen;
    unsigned lineno = 0;
    while (!text.empty()) {
        ++lineno;
        auto nl = text.find('\n');
        std::string_view line = trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::string where = origin + ": line " + std::to_string(lineno) + ": ";
        // Values end up in C strings (host names, paths, user names for FreeIPMI) and in
        // messages: a NUL would silently cut them, a lone CR or another control character
        // would hide in them.
        auto bad = std::find_if(line.begin(), line.end(), [](char c) {
            auto u = static_cast<unsigned char>(c);
            return (u < 0x20 && u != '\t') || u == 0x7f;
        });
        if (bad != line.end()) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02x",
                          static_cast<unsigned>(static_cast<unsigned char>(*bad)));
            err = where + "a control character (" + code + ") in the line; lines end with LF or CR LF";
            return false;
        }
        auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            err = where + "expected 'key = value', got '" + std::string(line) + "'";
            return false;
        }
        std::string key(trim(line.substr(0, eq)));
        std::string_view value = trim(line.substr(eq + 1));
        auto it = std::find_if(keys().begin(), keys().end(), [&](const Key &k) { return key == k.name; });
        if (it == keys().end()) {
            err = where + "unknown key '" + key + "'";
            return false;
        }
        if (!seen.insert(key).second) {
            err = where + "key '" + key + "' given twice";
            return false;
        }
        std::string expected = "a value";
        if (value.empty() || !it->set(value, cfg, expected)) {
            err =
                where + "bad value '" + std::string(value) + "' for " + key + " (expected " + expected + ")";
            return false;
        }
    }
    if (seen.count("driver") == 0) {
        err = origin + ": key 'driver' (inband, lan or standard) is missing";
        return false;
    }
    if (!check_standard_keys(cfg, seen, origin, err)) {
        return false;
    }
    if (cfg.lan() && cfg.password_file[0] != '/' && cfg.driver == Driver::Standard) {
        cfg.password_file = folder_of(origin) + "/" + cfg.password_file;
    }
    if (cfg.driver == Driver::Lan) {
        for (const char *k : {"host", "user", "password_file"}) {
            if (seen.count(k) == 0) {
                err = origin + ": driver = lan needs key '" + k + "'";
                return false;
            }
        }
        if (cfg.password_file[0] != '/') {
            cfg.password_file = folder_of(origin) + "/" + cfg.password_file;
        }
    }
    out = std::move(cfg);
    return true;
}

namespace {

// Reads a small regular file whole; `what` names it in messages.
bool read_small_file(const std::string &path, const char *what, std::string &content, struct stat &st,
                     std::string &err) {
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer, for ever; it is
    // refused as not a regular file right after. Reads of a regular file never block.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        char text[128];
        err = std::string(what) + " " + path + ": " +
              (errno == ELOOP ? "a symbolic link; refused" : strerror_r(errno, text, sizeof text));
        return false;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    if (fstat(fd, &st) != 0) {
        err = std::string(what) + " " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        err = std::string(what) + " " + path + " is not a regular file";
        return false;
    }
    // Whoever may write these files chooses the BMC the daemon talks to, and as whom.
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        err = std::string(what) + " " + path + " belongs to uid " + std::to_string(st.st_uid) +
              ", neither root nor this user; refused";
        return false;
    }
    if ((st.st_mode & S_IWOTH) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        err = std::string(what) + " " + path + " is writable by others (mode " + mode + "); refused";
        return false;
    }
    content.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            err = std::string(what) + " " + path + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0) {
            return true;
        }
        content.append(buf, static_cast<std::size_t>(n));
        if (content.size() > 65536) {
            err = std::string(what) + " " + path + " is too large";
            return false;
        }
    }
}

}  // namespace

bool read_password(const std::string &path, std::string &password, std::string &err) {
    std::string content;
    struct stat st {};
    if (!read_small_file(path, "password file", content, st, err)) {
        return false;
    }
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        err = "password file " + path + " is readable by group or others (mode " + mode + "); use mode 0600";
        return false;
    }
    std::string pw = content.substr(0, content.find('\n'));
    if (!pw.empty() && pw.back() == '\r') {
        pw.pop_back();
    }
    if (pw.size() > kMaxPasswordLen) {
        err = "password file " + path + ": the password is longer than " + std::to_string(kMaxPasswordLen) +
              " bytes";
        return false;
    }
    password = std::move(pw);
    return true;
}

LoadError load_config(const std::string &path, Config &out, std::string &err) {
    std::string text;
    struct stat st {};
    if (!read_small_file(path, "BMC access file", text, st, err)) {
        return LoadError::Missing;
    }
    Config cfg;
    if (!parse_config(text, path, cfg, err)) {
        return LoadError::Invalid;
    }
    if (cfg.lan() && !read_password(cfg.password_file, cfg.password, err)) {
        err = path + ": " + err;
        return LoadError::Password;
    }
    if (cfg.driver == Driver::Standard && !read_password(cfg.peer_password_file, cfg.peer_password, err)) {
        err = path + ": peer_" + err;
        return LoadError::Password;
    }
    out = std::move(cfg);
    return LoadError::None;
}

}  // namespace tavik::bmc
