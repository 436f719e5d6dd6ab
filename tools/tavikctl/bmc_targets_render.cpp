// SPDX-License-Identifier: GPL-3.0-or-later
// How `tavikctl bmc targets` shows a comparison: a table of the slots in use with the
// BMC's own state above it, or one JSON document.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "bmc_standard.h"
#include "bmc_targets.h"
#include "text_table.h"

namespace tavikctl::bmc_targets {
namespace {

const char *result_name(unsigned result) {
    switch (result) {
        case BMC_RESULT_READY:
            return "ready";
        case BMC_RESULT_COLLECTING:
            return "collecting";
        case BMC_RESULT_STOPPED:
            return "stopped";
        case BMC_RESULT_EMPTY:
            return "empty";
        default:
            return "?";
    }
}

std::string ctrl_name(unsigned ctrl) {
    if (ctrl == BMC_CTRL_START) {
        return "start";
    }
    if (ctrl == BMC_CTRL_STOP) {
        return "stop";
    }
    char buf[16];
    (void)std::snprintf(buf, sizeof buf, "%#04x", ctrl);
    return buf;
}

std::string status_text(const zvrbmc_held_target &t) {
    if (t.result != BMC_RESULT_READY) {
        return "-";
    }
    char buf[16];
    (void)std::snprintf(buf, sizeof buf, "%#04x", t.status);
    std::string text = buf;
    std::vector<std::string> bits;
    if (t.status & BMC_HB_DATAGRAM_SEEN) {
        bits.push_back("datagram");
    }
    if (t.status & BMC_HB_HOST_ALIVE) {
        bits.push_back("host alive");
    }
    if (bits.empty()) {
        return text + " silent, host dead";
    }
    text += " ";
    for (std::size_t i = 0; i < bits.size(); ++i) {
        text += (i ? ", " : "") + bits[i];
    }
    return text;
}

// A slot is shown when the BMC holds a target in it or the configuration implies one.
bool shown(const Expected &want, const zvrbmc_held_target &got) {
    return got.ip != 0 || !want.pairs.empty();
}

void render_slots(const Plan &plan, const Held &held, const Comparison &c) {
    TextRows rows = {{"SLOT", "ADDRESS", "CTRL", "TIME-OUT", "RESULT", "STATUS", "CONFIGURATION"}};
    int empty = 0;
    for (std::size_t i = 0; i < BMC_SLOTS; ++i) {
        const zvrbmc_held_target &got = held.slots[i];
        const Expected &want = plan.slots[i];
        if (!shown(want, got)) {
            ++empty;
            continue;
        }
        std::string expected = want.pairs.empty() ? "(empty slot)" : joined(want.pairs);
        if (!c.slot_ok[i]) {
            std::string differs = "DIFFERS: ";
            if (want.pairs.empty()) {
                differs += "empty slot";
            } else {
                differs += target_text(want.ip, want.ctrl, want.timeout);
                differs += " ";
                differs += expected;
            }
            expected = differs;
        }
        rows.push_back({std::to_string(i), got.ip != 0 ? ip_text(got.ip) : "-",
                        got.ip != 0 ? ctrl_name(got.ctrl) : "-",
                        got.ip != 0 ? std::to_string(got.timeout) + " s" : "-", result_name(got.result),
                        status_text(got), expected});
    }
    (void)std::fputs(text_table(rows).c_str(), stdout);
    if (empty > 0) {
        std::printf("(%d empty slot%s, as expected)\n", empty, empty == 1 ? "" : "s");
    }
}

void render_firmware(const Sources &src, const Plan &plan, const zvrbmc_firmware_state &fw) {
    std::printf("local BMC of %s (access file %s), configuration %s\n", src.own.c_str(), src.bmc_conf.c_str(),
                src.config.c_str());
    char last[32] = "none yet";
    if (fw.status_age_s >= 0) {
        (void)std::snprintf(last, sizeof last, "%#04x, %d s ago", fw.last_status, fw.status_age_s);
    }
    std::printf(
        "host %s (last status %s); access time-out %u s (configuration: %d s); heartbeat every %u ms; "
        "datagrams sent %u, received %u\n\n",
        fw.host_alive ? "alive" : "dead", last, fw.access_timeout_s, plan.access_timeout_s, fw.period_ms,
        fw.datagrams_sent, fw.datagrams_received);
}

}  // namespace

std::string target_text(std::uint32_t ip, unsigned ctrl, unsigned timeout) {
    return ip_text(ip) + " " + ctrl_name(ctrl) + " " + std::to_string(timeout) + " s";
}

std::string joined(const std::vector<std::string> &parts) {
    std::string out;
    for (const std::string &p : parts) {
        out += (out.empty() ? "" : ", ") + p;
    }
    return out;
}

void render_json(const Sources &src, const Plan &plan, const Held &held, const Comparison &c) {
    nlohmann::ordered_json slots = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < BMC_SLOTS; ++i) {
        const zvrbmc_held_target &got = held.slots[i];
        const Expected &want = plan.slots[i];
        if (!shown(want, got)) {
            continue;
        }
        nlohmann::ordered_json entry = {
            {"slot", i},
            {"held",
             {{"address", ip_text(got.ip)},
              {"ctrl", got.ctrl},
              {"timeout_s", got.timeout},
              {"result", result_name(got.result)},
              {"status", got.status},
              {"datagram_seen", (got.status & BMC_HB_DATAGRAM_SEEN) != 0},
              {"host_alive", (got.status & BMC_HB_HOST_ALIVE) != 0}}},
            {"expected", want.pairs.empty() ? nlohmann::ordered_json(nullptr)
                                            : nlohmann::ordered_json{{"address", ip_text(want.ip)},
                                                                     {"ctrl", want.ctrl},
                                                                     {"timeout_s", want.timeout},
                                                                     {"pairs", want.pairs}}},
            {"match", static_cast<bool>(c.slot_ok[i])}};
        slots.push_back(entry);
    }
    const zvrbmc_firmware_state &fw = held.fw;
    nlohmann::ordered_json doc = {
        {"access_file", src.bmc_conf},
        {"configuration", src.config},
        {"node", src.own},
        {"firmware",
         {{"host_alive", fw.host_alive != 0},
          {"access_timeout_s", fw.access_timeout_s},
          {"expected_access_timeout_s", plan.access_timeout_s},
          {"status_age_s", fw.status_age_s >= 0 ? nlohmann::ordered_json(fw.status_age_s) : nullptr},
          {"last_status", fw.last_status},
          {"period_ms", fw.period_ms},
          {"datagrams_sent", fw.datagrams_sent},
          {"datagrams_received", fw.datagrams_received}}},
        {"targets", plan.targets},
        {"slots", slots},
        {"skipped", plan.skipped},
        {"differences", c.differences}};
    (void)std::fputs((doc.dump(2) + "\n").c_str(), stdout);
}

void render_text(const Sources &src, const Plan &plan, const Held &held, const Comparison &c) {
    render_firmware(src, plan, held.fw);
    render_slots(plan, held, c);
    for (const std::string &s : plan.skipped) {
        std::printf("not a target: %s\n", s.c_str());
    }
    std::printf("\n");
    for (const std::string &d : c.differences) {
        std::printf("difference: %s\n", d.c_str());
    }
    if (c.differences.empty()) {
        std::printf("the BMC holds what the configuration implies: %d target%s, ctrl %s\n", plan.targets,
                    plan.targets == 1 ? "" : "s", src.stopped ? "stop" : "start");
        return;
    }
    std::printf("%zu difference%s between the BMC and the configuration\n", c.differences.size(),
                c.differences.size() == 1 ? "" : "s");
}

}  // namespace tavikctl::bmc_targets
