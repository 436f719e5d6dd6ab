// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the BMC access file (bmc.conf) parser, on text, so nothing is read from
// disk and no session is ever opened (an input naming a LAN driver and any host only
// becomes a Config value here). What must hold:
//  - a refusal names the file and leaves the caller's Config as it was;
//  - an accepted file has every field within its documented range, a LAN driver has its
//    host, user and an absolute password file, and no value holds a byte that the
//    C strings FreeIPMI and open() get would cut short or that a message would garble;
//  - writing an accepted Config back as text and parsing that gives the same Config.
// Single-threaded.
#include <set>

#include "cipher_suites.h"
#include "config.h"
#include "fuzz_check.h"

namespace {

using tavik::bmc::Config;
using tavik::bmc::Driver;

constexpr const char kOrigin[] = "/etc/tavik/bmc.conf";

bool same(const Config &a, const Config &b) {
    return a.path == b.path && a.driver == b.driver && a.host == b.host && a.port == b.port &&
           a.user == b.user && a.password_file == b.password_file && a.password == b.password &&
           a.privilege == b.privilege && a.cipher_suite == b.cipher_suite && a.timeout_ms == b.timeout_ms &&
           a.peer_user == b.peer_user && a.peer_password_file == b.peer_password_file &&
           a.peer_password == b.peer_password && a.peer_port == b.peer_port;
}

// A value that C strings and messages carry whole: no NUL, no control character but
// the tab, no DEL.
bool clean(const std::string &value) {
    for (unsigned char c : value) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            return false;
        }
    }
    return true;
}

std::string render(const Config &c) {
    static const char *const privileges[] = {"", "", "user", "operator", "admin"};
    const char *driver = c.driver == Driver::Lan        ? "lan"
                         : c.driver == Driver::Standard ? "standard"
                                                        : "inband";
    std::string text = std::string("driver = ") + driver + "\n";
    if (c.driver == Driver::Standard) {
        text += "peer_user = " + c.peer_user + "\npeer_password_file = " + c.peer_password_file +
                "\npeer_port = " + std::to_string(c.peer_port) + "\n";
    }
    if (!c.host.empty()) {
        text += "host = " + c.host + "\n";
    }
    if (!c.user.empty()) {
        text += "user = " + c.user + "\n";
    }
    if (!c.password_file.empty()) {
        text += "password_file = " + c.password_file + "\n";
    }
    text += "port = " + std::to_string(c.port) + "\n";
    text += std::string("privilege = ") + privileges[c.privilege] + "\n";
    text += "cipher_suite = " +
            (c.cipher_suite == tavik::bmc::kCipherSuiteAuto ? std::string("auto")
                                                            : std::to_string(c.cipher_suite)) +
            "\n";
    text += "timeout_ms = " + std::to_string(c.timeout_ms) + "\n";
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    Config sentinel;
    sentinel.path = "untouched";
    sentinel.host = "sentinel";
    sentinel.port = 1;
    Config cfg = sentinel;
    std::string err;
    if (!tavik::bmc::parse_config(text, kOrigin, cfg, err)) {
        FUZZ_CHECK(err.rfind(kOrigin, 0) == 0, "a refusal that does not name the file: %s", err.c_str());
        FUZZ_CHECK(same(cfg, sentinel), "a refusal changed the caller's Config (%s)", err.c_str());
        return 0;
    }
    static const std::set<unsigned> ciphers = {0, 1, 2, 3, 6, 7, 8, 11, 12, 15, 16, 17};
    FUZZ_CHECK(cfg.path == kOrigin, "path \"%s\"", cfg.path.c_str());
    FUZZ_CHECK(cfg.port >= 1, "port %u", cfg.port);
    FUZZ_CHECK(cfg.privilege >= 2 && cfg.privilege <= 4, "privilege %u", cfg.privilege);
    FUZZ_CHECK(cfg.cipher_suite == tavik::bmc::kCipherSuiteAuto || ciphers.count(cfg.cipher_suite) != 0,
               "cipher suite %u", cfg.cipher_suite);
    FUZZ_CHECK(cfg.timeout_ms >= tavik::bmc::kMinTimeoutMs && cfg.timeout_ms <= tavik::bmc::kMaxTimeoutMs,
               "time-out %u ms", cfg.timeout_ms);
    FUZZ_CHECK(cfg.user.size() <= tavik::bmc::kMaxUserLen, "user of %zu bytes", cfg.user.size());
    FUZZ_CHECK(cfg.host.size() <= 255 && cfg.host.find_first_of(" \t:/") == std::string::npos, "host \"%s\"",
               cfg.host.c_str());
    FUZZ_CHECK(cfg.password.empty(), "the parser read a password");
    FUZZ_CHECK(cfg.peer_password.empty(), "the parser read a peer password");
    if (cfg.driver == Driver::Standard) {
        FUZZ_CHECK(!cfg.peer_user.empty() && cfg.peer_password_file[0] == '/',
                   "driver standard without a peer user or an absolute peer password file");
    }
    for (const std::string *value :
         {&cfg.host, &cfg.user, &cfg.password_file, &cfg.peer_user, &cfg.peer_password_file}) {
        FUZZ_CHECK(clean(*value), "a value with a control character or NUL was accepted: \"%s\" (%zu bytes)",
                   value->c_str(), value->size());
    }
    if (cfg.driver == Driver::Lan) {
        FUZZ_CHECK(!cfg.host.empty() && !cfg.user.empty() && !cfg.password_file.empty(),
                   "driver lan without host, user or password file");
        FUZZ_CHECK(cfg.password_file[0] == '/', "password file \"%s\" is not absolute",
                   cfg.password_file.c_str());
    }

    Config again;
    std::string err2;
    const std::string canonical = render(cfg);
    FUZZ_CHECK(tavik::bmc::parse_config(canonical, kOrigin, again, err2),
               "the canonical form is refused: %s\n%s", err2.c_str(), canonical.c_str());
    FUZZ_CHECK(same(cfg, again), "the canonical form reads differently:\n%s", canonical.c_str());
    return 0;
}
