// SPDX-License-Identifier: GPL-3.0-or-later
// The C entry points of libzvrbmc: one process-wide Client (the local BMC's transport) and
// the driver bmc.conf chose over it, behind one mutex, so that the library stays
// consistent even if two threads call it at once (the daemon never does).
// No exception leaves an entry point: each body runs inside entry(), which is noexcept
// (the definitions cannot say so themselves, since the shared header's declarations
// carry no exception specification). The last failure's text is kept for tools.
#include "zvrbmc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "bmc_protocol.h"
#include "client.h"
#include "config.h"
#include "oem_driver.h"
#include "preflight.h"
#include "result.h"
#include "standard.h"
#include "usage.h"
#include "zvrbmc_admin.h"

#define ZVRBMC_API __attribute__((visibility("default")))

namespace {

using namespace tavik::bmc;

constexpr const char *kDefaultConf = "/etc/tavik/bmc.conf";
constexpr std::size_t kErrorSize = 512;

std::mutex g_mu;
std::unique_ptr<Client> g_client;     // exists between libzvrbmc_init and libzvrbmc_term
std::unique_ptr<BmcDriver> g_driver;  // between a successful bmc_init and bmc_term
char g_error[kErrorSize] = "";        // fixed storage: recording a failure never allocates

void set_error(const std::string &text) {
    std::snprintf(g_error, sizeof g_error, "%s", text.c_str());
}

// Runs one entry point under the lock and maps any exception to a result code.
template <class F>
int entry(F &&body) noexcept {
    try {
        const CpuMeter meter;
        std::lock_guard<std::mutex> lock(g_mu);
        try {
            return body();
        } catch (const std::bad_alloc &) {
            std::snprintf(g_error, sizeof g_error, "out of memory");
        } catch (...) {
            std::snprintf(g_error, sizeof g_error, "unexpected failure in the BMC library");
        }
        return kInternal;
    } catch (...) {
        return kInternal;  // the lock itself failed
    }
}

// The common tail of a BMC operation: a failed call keeps its text, and so does a BMC
// that answered with a completion code other than 0.
int finish(int rc, std::uint8_t cmd, std::uint8_t cc, const std::string &err) {
    if (rc != kOk) {
        set_error(err);
    } else if (cc != tavik::bmcproto::kCcOk) {
        char buf[160];
        std::snprintf(buf, sizeof buf, "command %#04x to %s: completion code %#04x", cmd,
                      g_client->config().target().c_str(), cc);
        set_error(err.empty() ? std::string(buf) : err);
    }
    return rc;
}

// Checks that a session is usable for a BMC operation.
int need_session() {
    if (!g_client) {
        set_error("libzvrbmc_init has not succeeded");
        return kNotInitialised;
    }
    if (!g_client->opened() || !g_driver) {
        set_error("bmc_init has not succeeded");
        return kNotInitialised;
    }
    return kOk;
}

std::unique_ptr<BmcDriver> make_driver(Client &client) {
    if (client.config().driver == Driver::Standard) {
        return std::make_unique<Standard>(client, client.config());
    }
    return std::make_unique<OemDriver>(client);
}

void fill_watchdog(const tavik::bmc::wdt::State &s, zvrbmc_watchdog &w) {
    namespace wdt = tavik::bmc::wdt;
    w.timer_use = s.use;
    w.running = wdt::counting(s) ? 1 : 0;
    w.action = s.action;
    w.expired_flags = s.expired_flags;
    w.initial_ds = s.initial_ds;
    w.present_ds = s.present_ds;
    w.ours = wdt::ours(s) ? 1 : 0;
    w.live = wdt::live(s) ? 1 : 0;
    std::snprintf(w.why, sizeof w.why, "%s", wdt::describe(s).c_str());
}

void fill_preflight(const Preflight &f, zvrbmc_preflight &out) {
    out = zvrbmc_preflight{};
    out.pong = f.pong;
    out.capabilities = f.capabilities;
    out.suites_listed = f.suites_listed;
    for (std::uint8_t s : f.offered) {
        if (out.suites_count < ZVRBMC_MAX_SUITES) {
            out.suites[out.suites_count++] = s;
        }
    }
    out.suite = f.suite;
    out.suite_agreed = f.suite_agreed;
    out.login = f.login;
    out.login_refused = f.login_refused;
    out.slots_read = f.slots_read;
    out.sessions_active = f.slots.active;
    out.sessions_max = f.slots.maximum;
    out.user_id = f.slots.user_id;
    out.privilege = f.slots.privilege;
    out.watchdog_read = f.watchdog_read;
    if (f.watchdog_read) {
        fill_watchdog(f.watchdog, out.watchdog);
        (void)std::snprintf(
            out.settings, sizeof out.settings, "%s",
            wdt::never_set(f.watchdog) ? "never set" : wdt::settings_text(f.watchdog).c_str());
    }
    out.lease_workable = static_cast<std::uint8_t>(f.workable);
    out.lease_expected = static_cast<std::uint8_t>(f.expected);
    (void)std::snprintf(out.suite_note, sizeof out.suite_note, "%s", f.suite_note.c_str());
    (void)std::snprintf(out.why, sizeof out.why, "%s", f.why.c_str());
}

static_assert(static_cast<int>(LeaseSource::Watchdog) == BMC_LEASE_WATCHDOG &&
                  static_cast<int>(LeaseSource::Observe) == BMC_LEASE_OBSERVE &&
                  static_cast<int>(LeaseSource::None) == BMC_LEASE_NONE,
              "the C names of the lease sources");

}  // namespace

extern "C" {

ZVRBMC_API int libzvrbmc_init(void) {
    return entry([] {
        if (g_client) {
            set_error("libzvrbmc_init called twice without libzvrbmc_term");
            return static_cast<int>(kAlreadyInitialised);
        }
        const char *env = std::getenv("TAVIK_BMC_CONF");
        const std::string path = env != nullptr && *env != '\0' ? env : kDefaultConf;
        Config cfg;
        std::string err;
        switch (load_config(path, cfg, err)) {
            case LoadError::None:
                break;
            case LoadError::Missing:
                set_error(err);
                return static_cast<int>(kConfigMissing);
            case LoadError::Invalid:
                set_error(err);
                return static_cast<int>(kConfigInvalid);
            case LoadError::Password:
                set_error(err);
                return static_cast<int>(kPasswordRefused);
        }
        g_client = std::make_unique<Client>(std::move(cfg));
        return static_cast<int>(kOk);
    });
}

ZVRBMC_API int libzvrbmc_term(void) {
    return entry([] {
        if (!g_client) {
            set_error("libzvrbmc_init has not succeeded");
            return static_cast<int>(kNotInitialised);
        }
        g_driver.reset();
        g_client.reset();
        return static_cast<int>(kOk);
    });
}

ZVRBMC_API int bmc_init(void) {
    return entry([] {
        if (!g_client) {
            set_error("libzvrbmc_init has not succeeded");
            return static_cast<int>(kNotInitialised);
        }
        std::string err;
        g_driver.reset();
        int rc = g_client->open(err);
        if (rc != kOk) {
            set_error(err);
        } else {
            g_driver = make_driver(*g_client);
        }
        return rc;
    });
}

ZVRBMC_API int bmc_term(void) {
    return entry([] {
        int rc = need_session();
        if (rc == kOk) {
            g_driver.reset();
            g_client->close();
        }
        return rc;
    });
}

ZVRBMC_API int bmc_SetZelvarinStatus(int unit, uint8_t ctrl, uint8_t *CompletionCode) {
    return entry([&] {
        if (CompletionCode == nullptr || unit < 0 || unit > 255) {
            set_error("bmc_SetZelvarinStatus: null completion code pointer or unit outside 0-255");
            return static_cast<int>(kBadArgument);
        }
        *CompletionCode = 0;
        int rc = need_session();
        if (rc != kOk) {
            return rc;
        }
        std::string err;
        rc = g_driver->set_host_status(static_cast<std::uint8_t>(unit), ctrl, *CompletionCode, err);
        return finish(rc, tavik::bmcproto::kCmdSetHostStatus, *CompletionCode, err);
    });
}

ZVRBMC_API int bmc_SetZelvarinAccessTime(uint8_t cmd, uint16_t seconds, uint8_t *CompletionCode) {
    return entry([&] {
        if (CompletionCode == nullptr) {
            set_error("bmc_SetZelvarinAccessTime: null completion code pointer");
            return static_cast<int>(kBadArgument);
        }
        *CompletionCode = 0;
        int rc = need_session();
        if (rc != kOk) {
            return rc;
        }
        std::string err;
        rc = g_driver->set_access_time(cmd, seconds, *CompletionCode, err);
        return finish(rc, cmd, *CompletionCode, err);
    });
}

ZVRBMC_API int bmc_SetBmcIpAddressAll(uint8_t cmd, uint8_t block, const BMC_INFO_SET *first,
                                      uint8_t *CompletionCode, uint8_t *BlockNumber) {
    return entry([&] {
        if (first == nullptr || CompletionCode == nullptr || BlockNumber == nullptr || block == 0) {
            set_error("bmc_SetBmcIpAddressAll: null pointer or block 0 (blocks count from 1)");
            return static_cast<int>(kBadArgument);
        }
        *CompletionCode = 0;
        int rc = need_session();
        if (rc != kOk) {
            return rc;
        }
        std::string err;
        rc = g_driver->set_targets(cmd, block, first, *CompletionCode, *BlockNumber, err);
        return finish(rc, cmd, *CompletionCode, err);
    });
}

ZVRBMC_API int bmc_GetBmcStatusAll(uint8_t cmd, uint8_t block, uint8_t *CompletionCode, uint8_t *BlockNumber,
                                   BMC_INFO_GET *first) {
    return entry([&] {
        if (first == nullptr || CompletionCode == nullptr || BlockNumber == nullptr || block == 0) {
            set_error("bmc_GetBmcStatusAll: null pointer or block 0 (blocks count from 1)");
            return static_cast<int>(kBadArgument);
        }
        *CompletionCode = 0;
        int rc = need_session();
        if (rc != kOk) {
            return rc;
        }
        std::string err;
        rc = g_driver->get_status(cmd, block, *CompletionCode, *BlockNumber, first, err);
        return finish(rc, cmd, *CompletionCode, err);
    });
}

ZVRBMC_API int bmc_admin_get_targets(uint8_t block, zvrbmc_held_target *first,
                                     uint8_t *CompletionCode) noexcept {
    return entry([&] {
        if (first == nullptr || CompletionCode == nullptr || block == 0) {
            set_error("bmc_admin_get_targets: null pointer or block 0 (blocks count from 1)");
            return static_cast<int>(kBadArgument);
        }
        *CompletionCode = 0;
        int rc = need_session();
        if (rc != kOk) {
            return rc;
        }
        std::string err;
        rc = g_driver->get_targets(block, *CompletionCode, first, err);
        return finish(rc, tavik::bmcproto::kCmdGetTargets, *CompletionCode, err);
    });
}

ZVRBMC_API int bmc_admin_get_firmware_state(zvrbmc_firmware_state *state, uint8_t *CompletionCode) noexcept {
    return entry([&] {
        if (state == nullptr || CompletionCode == nullptr) {
            set_error("bmc_admin_get_firmware_state: null pointer");
            return static_cast<int>(kBadArgument);
        }
        *CompletionCode = 0;
        int rc = need_session();
        if (rc != kOk) {
            return rc;
        }
        std::string err;
        zvrbmc_firmware_state got{};
        rc = g_driver->get_firmware_state(*CompletionCode, got, err);
        if (rc == kOk && *CompletionCode == tavik::bmcproto::kCcOk) {
            *state = got;
        }
        return finish(rc, tavik::bmcproto::kCmdGetFirmwareState, *CompletionCode, err);
    });
}

ZVRBMC_API int bmc_admin_get_driver(int *driver) noexcept {
    return entry([&] {
        if (driver == nullptr) {
            set_error("bmc_admin_get_driver: null pointer");
            return static_cast<int>(kBadArgument);
        }
        if (!g_client) {
            set_error("libzvrbmc_init has not succeeded");
            return static_cast<int>(kNotInitialised);
        }
        switch (g_client->config().driver) {
            case Driver::Inband:
                *driver = BMC_DRIVER_INBAND;
                break;
            case Driver::Lan:
                *driver = BMC_DRIVER_LAN;
                break;
            case Driver::Standard:
                *driver = BMC_DRIVER_STANDARD;
                break;
        }
        return static_cast<int>(kOk);
    });
}

ZVRBMC_API int bmc_admin_get_watchdog(zvrbmc_watchdog *out, uint8_t *CompletionCode) noexcept {
    return entry([&] {
        if (out == nullptr || CompletionCode == nullptr) {
            set_error("bmc_admin_get_watchdog: null pointer");
            return static_cast<int>(kBadArgument);
        }
        *CompletionCode = 0;
        int rc = need_session();
        if (rc != kOk) {
            return rc;
        }
        std::string err;
        tavik::bmc::wdt::State s;
        rc = g_driver->read_watchdog(s, *CompletionCode, err);
        if (rc == kOk && *CompletionCode == 0) {
            fill_watchdog(s, *out);
        }
        return finish(rc, tavik::bmc::wdt::kCmdGet, *CompletionCode, err);
    });
}

ZVRBMC_API int bmc_admin_get_peers(zvrbmc_peer *out, unsigned max, unsigned *count) noexcept {
    return entry([&] {
        if ((out == nullptr && max > 0) || count == nullptr) {
            set_error("bmc_admin_get_peers: null pointer");
            return static_cast<int>(kBadArgument);
        }
        int rc = need_session();
        if (rc != kOk) {
            return rc;
        }
        std::vector<PeerView> peers;
        std::string err;
        if (!g_driver->peers(peers, err)) {
            set_error(err);
            return static_cast<int>(kBadArgument);
        }
        *count = static_cast<unsigned>(peers.size());
        for (std::size_t i = 0; i < peers.size() && i < max; ++i) {
            const auto &v = peers[i];
            zvrbmc_peer &p = out[i];
            p = zvrbmc_peer{};
            p.ip = v.ip;
            p.answer_age_ms = v.answer_age_ms;
            p.pong_seen = v.pong_seen;
            p.session = v.session;
            p.lease_read = v.lease_read;
            p.live = v.live;
            p.lease_age_ms = v.lease_age_ms;
            if (v.lease_read) {
                fill_watchdog(v.lease, p.lease);
            }
            std::snprintf(p.why, sizeof p.why, "%s", v.why.c_str());
        }
        return static_cast<int>(kOk);
    });
}

ZVRBMC_API int bmc_admin_get_lease_source(uint32_t ip, int *source) noexcept {
    return entry([&] {
        if (source == nullptr) {
            set_error("bmc_admin_get_lease_source: null pointer");
            return static_cast<int>(kBadArgument);
        }
        if (!g_client) {
            set_error("libzvrbmc_init has not succeeded");
            return static_cast<int>(kNotInitialised);
        }
        const Config &cfg = g_client->config();
        if (cfg.driver != Driver::Standard) {
            set_error("lease sources belong to driver = standard");
            return static_cast<int>(kBadArgument);
        }
        *source = static_cast<int>(ip == 0 ? cfg.lease : cfg.peer(ip).lease);
        return static_cast<int>(kOk);
    });
}

ZVRBMC_API int bmc_admin_preflight(uint32_t ip, zvrbmc_preflight *out) noexcept {
    return entry([&] {
        if (out == nullptr) {
            set_error("bmc_admin_preflight: null pointer");
            return static_cast<int>(kBadArgument);
        }
        if (!g_client) {
            set_error("libzvrbmc_init has not succeeded");
            return static_cast<int>(kNotInitialised);
        }
        if (g_client->config().driver != Driver::Standard) {
            set_error(g_client->config().path + ": the preflight needs driver = standard");
            return static_cast<int>(kBadArgument);
        }
        fill_preflight(preflight(g_client->config(), ip), *out);
        return static_cast<int>(kOk);
    });
}

ZVRBMC_API const char *libzvrbmc_last_error(void) {
    // Each thread gets its own copy, so the text cannot change while the caller reads it.
    thread_local char copy[kErrorSize];
    try {
        std::lock_guard<std::mutex> lock(g_mu);
        std::memcpy(copy, g_error, sizeof copy);
    } catch (...) {
        std::snprintf(copy, sizeof copy, "the BMC library's last failure cannot be read");
    }
    return copy;
}

}  // extern "C"
