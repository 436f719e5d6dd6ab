// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl bmc targets` for driver = standard (bmc_standard.h).
#include "bmc_standard.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "check_standard.h"
#include "text_table.h"
#include "zvrbmc.h"
#include "zvrbmc_admin.h"

namespace tavikctl {

std::string ip_text(std::uint32_t ip) {
    char buf[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = ip;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::string own_host_name() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        throw std::runtime_error("cannot read the host name; give --node NAME");
    }
    if (char *dot = std::strchr(host, '.')) {
        *dot = '\0';
    }
    return host;
}

namespace {

std::string age_text(int ms) {
    if (ms < 0) {
        return "never";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s ago", ms / 1000.0);
    return buf;
}

void check(const char *what, int rc, std::uint8_t cc = 0) {
    if (rc != 0 || cc != 0) {
        throw std::runtime_error(std::string(what) + ": " + libzvrbmc_last_error());
    }
}

struct Library {
    Library() { check("BMC library", libzvrbmc_init()); }
    ~Library() {
        bmc_term();
        libzvrbmc_term();
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
};

const zvrbmc_peer *peer_of(const std::vector<zvrbmc_peer> &peers, std::uint32_t ip) {
    auto it = std::find_if(peers.begin(), peers.end(), [&](const zvrbmc_peer &p) { return p.ip == ip; });
    return it == peers.end() ? nullptr : &*it;
}

const char *result_name(unsigned r) {
    static const char *names[] = {"ready", "collecting", "stopped", "empty"};
    return r < 4 ? names[r] : "?";
}

std::string lease_text(const zvrbmc_peer *p) {
    if (p == nullptr || !p->lease_read) {
        return "-";
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %.1f/%.1f s", p->live ? "live" : "none", p->lease.present_ds / 10.0,
                  p->lease.initial_ds / 10.0);
    return buf;
}

// Who runs a watchdog, by its last reading.
std::string owner_text(const zvrbmc_watchdog &w) {
    static const char *uses[] = {"unset", "BIOS FRB2", "BIOS/POST", "OS load", "SMS/OS", "OEM"};
    static const char *actions[] = {"no action", "hard reset", "power down", "power cycle"};
    if (w.ours != 0) {
        return "tavik";
    }
    if (w.running == 0) {
        return "nobody (stopped)";
    }
    return std::string("another program (") + (w.timer_use < 6 ? uses[w.timer_use] : "?") + ", " +
           (w.action < 4 ? actions[w.action] : "?") + ")";
}

int lease_source_of(std::uint32_t ip) {
    int source = BMC_LEASE_WATCHDOG;
    check("the lease source", bmc_admin_get_lease_source(ip, &source));
    return source;
}

}  // namespace

bool standard_driver_configured() {
    Library lib;
    int driver = -1;
    check("BMC library", bmc_admin_get_driver(&driver));
    return driver == BMC_DRIVER_STANDARD;
}

int show_standard_targets(const std::string &own, const std::string &bmc_conf, const std::string &config,
                          const std::vector<PlannedTarget> &planned, int access_timeout_s, bool json) {
    Library lib;
    check("local BMC", bmc_init());
    zvrbmc_watchdog local{};
    std::uint8_t cc = 0;
    check("reading the local BMC's watchdog", bmc_admin_get_watchdog(&local, &cc), cc);
    const int own_source = lease_source_of(0);

    std::array<BMC_INFO_SET, BMC_SLOTS> set{};
    unsigned longest = 1;
    for (std::size_t i = 0; i < planned.size() && i < BMC_SLOTS; ++i) {
        set[i] = {planned[i].ip, planned[i].ctrl, planned[i].timeout, {0, 0}};
        longest = std::max<unsigned>(longest, planned[i].timeout);
    }
    for (std::uint8_t block = 1; block <= BMC_SLOTS / BMC_BLOCK_RECORDS; ++block) {
        std::uint8_t bn = 0;
        check("programming the library's targets",
              bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, block, &set[(block - 1) * BMC_BLOCK_RECORDS],
                                     &cc, &bn),
              cc);
    }
    // Until no started target is still collecting: the first answers come within a check
    // period, silence shows after the target's time-out.
    std::array<zvrbmc_held_target, BMC_SLOTS> held{};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(longest * 1000 + 500);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        bool collecting = false;
        for (std::uint8_t block = 1; block <= BMC_SLOTS / BMC_BLOCK_RECORDS; ++block) {
            check("reading the library's targets",
                  bmc_admin_get_targets(block, &held[(block - 1) * BMC_BLOCK_RECORDS], &cc), cc);
        }
        for (const auto &h : held) {
            collecting = collecting || h.result == BMC_RESULT_COLLECTING;
        }
        if (!collecting || std::chrono::steady_clock::now() > until) {
            break;
        }
    }
    unsigned count = 0;
    std::vector<zvrbmc_peer> peers(BMC_SLOTS);
    check("reading the peers", bmc_admin_get_peers(peers.data(), BMC_SLOTS, &count));
    peers.resize(std::min<unsigned>(count, BMC_SLOTS));

    int unheard = 0;
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    TextRows table = {
        {"SLOT", "ADDRESS", "RESULT", "STATUS", "LAST ANSWER", "SOURCE", "LEASE", "OWNER", "PAIRS / WHY"}};
    for (std::size_t i = 0; i < planned.size() && i < BMC_SLOTS; ++i) {
        const zvrbmc_held_target &h = held[i];
        const zvrbmc_peer *p = peer_of(peers, planned[i].ip);
        const bool ok =
            h.result != BMC_RESULT_READY || h.status == (BMC_HB_DATAGRAM_SEEN | BMC_HB_HOST_ALIVE);
        unheard += ok ? 0 : 1;
        const std::string why = p != nullptr ? p->why : "";
        char status[8];
        std::snprintf(status, sizeof status, "%#04x", h.status);
        const char *source = lease_source_word(lease_source_of(h.ip));
        const std::string owner = p != nullptr && p->lease_read ? owner_text(p->lease) : "not read";
        table.push_back({std::to_string(i), ip_text(h.ip), result_name(h.result), status,
                         p ? age_text(p->answer_age_ms) : "-", source, lease_text(p), owner,
                         planned[i].pairs + (why.empty() ? "" : ": " + why)});
        rows.push_back({{"slot", i},
                        {"address", ip_text(h.ip)},
                        {"ctrl", h.ctrl},
                        {"timeout_s", h.timeout},
                        {"result", result_name(h.result)},
                        {"status", h.status},
                        {"pairs", planned[i].pairs},
                        {"answer_age_ms", p ? p->answer_age_ms : -1},
                        {"pong_seen", p != nullptr && p->pong_seen},
                        {"session", p != nullptr && p->session},
                        {"lease_source", source},
                        {"watchdog_owner", owner},
                        {"lease_live", p != nullptr && p->live},
                        {"lease_present_ds", p && p->lease_read ? p->lease.present_ds : 0},
                        {"why", why}});
    }
    if (json) {
        nlohmann::ordered_json doc = {{"access_file", bmc_conf},
                                      {"configuration", config},
                                      {"node", own},
                                      {"driver", "standard"},
                                      {"lease_source", lease_source_word(own_source)},
                                      {"local_watchdog",
                                       {{"owner", owner_text(local)},
                                        {"timer_use", local.timer_use},
                                        {"running", local.running != 0},
                                        {"initial_ds", local.initial_ds},
                                        {"present_ds", local.present_ds},
                                        {"ours", local.ours != 0},
                                        {"live", local.live != 0},
                                        {"why", local.why}}},
                                      {"expected_access_timeout_s", access_timeout_s},
                                      {"targets", rows},
                                      {"unheard", unheard}};
        std::fputs((doc.dump(2) + "\n").c_str(), stdout);
        return unheard == 0 ? 0 : 2;
    }
    std::printf("local BMC of %s (access file %s, driver standard), configuration %s\n", own.c_str(),
                bmc_conf.c_str(), config.c_str());
    std::printf("lease source: %s; local watchdog's owner: %s\n", lease_source_word(own_source),
                owner_text(local).c_str());
    std::printf("local watchdog: %s; countdown %.1f of %.1f s (configuration's access time-out: %d s)\n",
                local.why, local.present_ds / 10.0, local.initial_ds / 10.0, access_timeout_s);
    std::printf("targets as watched from this host by tavikctl's own library:\n\n");
    std::fputs(text_table(table).c_str(), stdout);
    std::printf("\n");
    if (unheard == 0) {
        std::printf("every started target answers and holds a live lease\n");
        return 0;
    }
    std::printf("%d target%s not heard or without a live lease\n", unheard, unheard == 1 ? "" : "s");
    return 2;
}

}  // namespace tavikctl
