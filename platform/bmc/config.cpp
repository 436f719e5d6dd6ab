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

const char *lease_source_name(LeaseSource s) {
    switch (s) {
        case LeaseSource::Observe:
            return "observe";
        case LeaseSource::None:
            return "none";
        case LeaseSource::Watchdog:
            break;
    }
    return "watchdog";
}

namespace {

// FreeIPMI's IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_* bits, in its order.
constexpr std::array<const char *, 7> kWorkaroundNames = {
    "authcap", "intel20", "supermicro20", "sun20", "opensesspriv", "integritycheckvalue", "nochecksumcheck"};

}  // namespace

bool parse_workarounds(std::string_view v, unsigned &out, std::string &bad) {
    out = 0;
    if (v == "none") {
        return true;
    }
    std::size_t at = 0;
    bool any = false;
    while (at <= v.size()) {
        const auto end = std::min(v.find_first_of(" \t,", at), v.size());
        const std::string_view word = v.substr(at, end - at);
        if (!word.empty()) {
            auto it = std::find(kWorkaroundNames.begin(), kWorkaroundNames.end(), word);
            if (it == kWorkaroundNames.end()) {
                bad = word;
                return false;
            }
            out |= 1u << (it - kWorkaroundNames.begin());
            any = true;
        }
        at = end + 1;
    }
    bad = v;
    return any;
}

std::string workarounds_text(unsigned flags) {
    std::string out;
    for (std::size_t i = 0; i < kWorkaroundNames.size(); ++i) {
        if ((flags & (1u << i)) != 0) {
            out += (out.empty() ? "" : ",") + std::string(kWorkaroundNames[i]);
        }
    }
    return out.empty() ? "none" : out;
}

PeerSettings Config::peer(std::uint32_t ip) const {
    PeerSettings p;
    p.port = peer_port;
    p.user = peer_user;
    p.password_file = peer_password_file;
    p.cipher_suite = cipher_suite;
    p.workarounds = workarounds;
    p.lease = lease;
    auto it = peer_sections.find(ip);
    if (it != peer_sections.end()) {
        const PeerSection &s = it->second;
        p.port = s.port.value_or(p.port);
        p.user = s.user.value_or(p.user);
        p.password_file = s.password_file.value_or(p.password_file);
        p.cipher_suite = s.cipher_suite.value_or(p.cipher_suite);
        p.workarounds = s.workarounds.value_or(p.workarounds);
        p.lease = s.lease.value_or(p.lease);
    }
    auto pw = peer_passwords.find(p.password_file);
    p.password = pw != peer_passwords.end() ? pw->second : peer_password;
    return p;
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

// Value checks shared by the file's own keys and a peer section's: each returns false and
// says what was expected.
bool port_value(std::string_view v, std::uint16_t &out, std::string &exp) {
    exp = "a port number 1-65535";
    unsigned long n = 0;
    if (!parse_number(v, 1, 65535, n)) {
        return false;
    }
    out = static_cast<std::uint16_t>(n);
    return true;
}

bool user_value(std::string_view v, std::string &out, std::string &exp) {
    exp = "a user name of at most 16 bytes";
    if (v.size() > kMaxUserLen) {
        return false;
    }
    out = v;
    return true;
}

bool suite_value(std::string_view v, std::uint8_t &out, std::string &exp) {
    // The cipher suites FreeIPMI can speak.
    static const std::set<unsigned long> known = {0, 1, 2, 3, 6, 7, 8, 11, 12, 15, 16, 17};
    exp = "auto or one of 0, 1, 2, 3, 6, 7, 8, 11, 12, 15, 16, 17";
    if (v == "auto") {
        out = kCipherSuiteAuto;
        return true;
    }
    unsigned long n = 0;
    if (!parse_number(v, 0, 255, n) || known.count(n) == 0) {
        return false;
    }
    out = static_cast<std::uint8_t>(n);
    return true;
}

bool lease_value(std::string_view v, LeaseSource &out, std::string &exp) {
    exp = "watchdog, observe or none";
    for (auto s : {LeaseSource::Watchdog, LeaseSource::Observe, LeaseSource::None}) {
        if (v == lease_source_name(s)) {
            out = s;
            return true;
        }
    }
    return false;
}

bool workarounds_value(std::string_view v, unsigned &out, std::string &exp) {
    std::string bad;
    if (parse_workarounds(v, out, bad)) {
        return true;
    }
    exp = "none, or FreeIPMI's LAN 2.0 workarounds as ipmi-raw(8) names them: " + workarounds_text(0x7f) +
          "; '" + bad + "' is not one";
    return false;
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

const std::array<Key, 14> &keys() {
    static const std::array<Key, 14> table = {{
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
        {"port", [](std::string_view v, Config &c, std::string &exp) { return port_value(v, c.port, exp); }},
        {"user", [](std::string_view v, Config &c, std::string &exp) { return user_value(v, c.user, exp); }},
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
         [](std::string_view v, Config &c, std::string &exp) { return suite_value(v, c.cipher_suite, exp); }},
        {"workarounds",
         [](std::string_view v, Config &c, std::string &exp) { return workarounds_value(v, c.workarounds, exp); }},
        {"lease", [](std::string_view v, Config &c, std::string &exp) { return lease_value(v, c.lease, exp); }},
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
         [](std::string_view v, Config &c, std::string &exp) { return user_value(v, c.peer_user, exp); }},
        {"peer_password_file",
         [](std::string_view v, Config &c, std::string &) {
             c.peer_password_file = v;
             return true;
         }},
        {"peer_port",
         [](std::string_view v, Config &c, std::string &exp) { return port_value(v, c.peer_port, exp); }},
        {"peer_running_bit_wrong",
         [](std::string_view v, Config &c, std::string &exp) {
             exp = "IPv4 addresses of peers' BMCs, separated by spaces or commas";
             return parse_addresses(v, c.peer_running_bit_wrong);
         }},
    }};
    return table;
}

// The keys of a `[peer ADDRESS]` section: what may differ from one peer's BMC to another.
using SectionSetter = bool (*)(std::string_view value, PeerSection &sec, std::string &expected);

struct SectionKey {
    const char *name;
    SectionSetter set;
};

const std::array<SectionKey, 6> &section_keys() {
    static const std::array<SectionKey, 6> table = {{
        {"port", [](std::string_view v, PeerSection &p,
                    std::string &exp) { return port_value(v, p.port.emplace(), exp); }},
        {"user", [](std::string_view v, PeerSection &p,
                    std::string &exp) { return user_value(v, p.user.emplace(), exp); }},
        {"password_file",
         [](std::string_view v, PeerSection &p, std::string &) {
             p.password_file = std::string(v);
             return true;
         }},
        {"cipher_suite", [](std::string_view v, PeerSection &p,
                            std::string &exp) { return suite_value(v, p.cipher_suite.emplace(), exp); }},
        {"workarounds", [](std::string_view v, PeerSection &p,
                           std::string &exp) { return workarounds_value(v, p.workarounds.emplace(), exp); }},
        {"lease", [](std::string_view v, PeerSection &p,
                     std::string &exp) { return lease_value(v, p.lease.emplace(), exp); }},
    }};
    return table;
}

std::string section_key_names() {
    std::string out;
    for (const auto &k : section_keys()) {
        out += (out.empty() ? "" : ", ") + std::string(k.name);
    }
    return out;
}

// The parser's place in the file: the file's own keys, or a peer section's.
struct Place {
    std::set<std::string> seen;
    std::uint32_t ip = 0;  // the section's peer; 0: the file's own keys
    std::string name;      // "[peer 10.0.0.3]"
    std::set<std::string> section_seen;
};

// A `[peer ADDRESS]` header; false with the message.
bool section_header(std::string_view line, const std::string &where, unsigned lineno, Config &cfg, Place &at,
                    std::string &err) {
    const std::string_view inner = line.back() == ']' ? trim(line.substr(1, line.size() - 2)) : "";
    std::string addr(inner.rfind("peer", 0) == 0 ? trim(inner.substr(4)) : "");
    in_addr a{};
    if (addr.empty() || inet_pton(AF_INET, addr.c_str(), &a) != 1 || inner.substr(0, 5) != "peer " ||
        a.s_addr == 0) {
        err = where + "expected a section '[peer ADDRESS]' naming a peer's BMC by its IPv4 address, got '" +
              std::string(line) + "'";
        return false;
    }
    at.ip = a.s_addr;
    at.name = "[peer " + addr + "]";
    at.section_seen.clear();
    auto [it, fresh] = cfg.peer_sections.emplace(a.s_addr, PeerSection{});
    if (!fresh) {
        err = where + "section '" + at.name + "' given twice (first at line " +
              std::to_string(it->second.line) + ")";
        return false;
    }
    it->second.line = lineno;
    return true;
}

// One `key = value` line inside a peer section.
bool section_line(const std::string &key, std::string_view value, const std::string &where, Config &cfg,
                  Place &at, std::string &err) {
    auto it = std::find_if(section_keys().begin(), section_keys().end(),
                           [&](const SectionKey &k) { return key == k.name; });
    if (it == section_keys().end()) {
        err = where + "unknown key '" + key + "' in section '" + at.name + "' (a peer section takes " +
              section_key_names() + ")";
        return false;
    }
    if (!at.section_seen.insert(key).second) {
        err = where + "key '" + key + "' given twice in section '" + at.name + "'";
        return false;
    }
    std::string expected = "a value";
    if (value.empty() || !it->set(value, cfg.peer_sections[at.ip], expected)) {
        err = where + "bad value '" + std::string(value) + "' for " + key + " in section '" + at.name +
              "' (expected " + expected + ")";
        return false;
    }
    return true;
}

// The standard driver needs the peers' credentials, and the local ones only when the local
// BMC is reached over LAN; the peer keys mean nothing to the OEM drivers.
bool check_standard_keys(Config &cfg, const std::set<std::string> &seen, const std::string &origin,
                         std::string &err) {
    const bool standard = cfg.driver == Driver::Standard;
    for (const char *k :
         {"peer_user", "peer_password_file", "peer_port", "peer_running_bit_wrong", "lease"}) {
        if (!standard && seen.count(k) != 0) {
            err = origin + ": key '" + k + "' needs driver = standard";
            return false;
        }
        const bool optional = std::string_view(k) == "peer_port" ||
                              std::string_view(k) == "peer_running_bit_wrong" ||
                              std::string_view(k) == "lease";
        if (standard && seen.count(k) == 0 && !optional) {
            err = origin + ": driver = standard needs key '" + k + "'";
            return false;
        }
    }
    if (!standard && !cfg.peer_sections.empty()) {
        err = origin + ": line " + std::to_string(cfg.peer_sections.begin()->second.line) +
              ": peer sections need driver = standard";
        return false;
    }
    if (!cfg.lan() && !standard && seen.count("workarounds") != 0) {
        err = origin + ": key 'workarounds' needs a LAN session (driver = lan or standard)";
        return false;
    }
    if (standard && cfg.peer_password_file[0] != '/') {
        cfg.peer_password_file = folder_of(origin) + "/" + cfg.peer_password_file;
    }
    for (auto &[ip, sec] : cfg.peer_sections) {
        if (sec.password_file && (*sec.password_file)[0] != '/') {
            sec.password_file = folder_of(origin) + "/" + *sec.password_file;
        }
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
    Place at;
    std::set<std::string> &seen = at.seen;
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
        if (line[0] == '[') {
            if (!section_header(line, where, lineno, cfg, at, err)) {
                return false;
            }
            continue;
        }
        auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            err = where + "expected 'key = value', got '" + std::string(line) + "'";
            return false;
        }
        std::string key(trim(line.substr(0, eq)));
        std::string_view value = trim(line.substr(eq + 1));
        if (at.ip != 0) {
            if (!section_line(key, value, where, cfg, at, err)) {
                return false;
            }
            continue;
        }
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

namespace {

std::string section_error(const std::string &path, unsigned line, const std::string &err) {
    return path + ": line " + std::to_string(line) + ": peer section's " + err;
}

}  // namespace

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
    if (cfg.driver == Driver::Standard) {
        cfg.peer_passwords[cfg.peer_password_file] = cfg.peer_password;
    }
    for (const auto &[ip, sec] : cfg.peer_sections) {
        if (sec.password_file && cfg.peer_passwords.count(*sec.password_file) == 0 &&
            !read_password(*sec.password_file, cfg.peer_passwords[*sec.password_file], err)) {
            err = section_error(path, sec.line, err);
            return LoadError::Password;
        }
    }
    out = std::move(cfg);
    return LoadError::None;
}

}  // namespace tavik::bmc
