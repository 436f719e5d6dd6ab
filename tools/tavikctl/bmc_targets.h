// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl bmc targets`: the two sides it compares (what the configuration makes the
// daemon program, what the local BMC holds), the comparison, and its rendering
// (bmc_targets_render.cpp) as a table or as JSON. Runs on tavikctl's single thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "zvrbmc.h"
#include "zvrbmc_admin.h"

namespace tavikctl::bmc_targets {

// One slot as the daemon would program it.
struct Expected {
    std::uint32_t ip = 0;  // network byte order; 0 with no pairs: an empty slot
    std::uint8_t ctrl = BMC_CTRL_STOP;
    std::uint8_t timeout = 0;
    std::vector<std::string> pairs;  // "rsc/node" entries that made this target
};

// The daemon's table as the check thread walks it.
struct Plan {
    std::array<Expected, BMC_SLOTS> slots{};
    int targets = 0;
    std::vector<std::string> skipped;  // entries that are no target, and why
    int access_timeout_s = 0;
    int target_timeout_s = 0;
};

// What the local BMC holds: its 32 slots and its own state.
struct Held {
    std::array<zvrbmc_held_target, BMC_SLOTS> slots{};
    zvrbmc_firmware_state fw{};
};

struct Comparison {
    std::vector<std::string> differences;
    std::vector<bool> slot_ok = std::vector<bool>(BMC_SLOTS, true);
};

// Where the comparison's two sides came from.
struct Sources {
    std::string own, bmc_conf, config;
    bool stopped = false;
};

// "192.0.2.1 start 7 s"
std::string target_text(std::uint32_t ip, unsigned ctrl, unsigned timeout);
// "a, b, c"
std::string joined(const std::vector<std::string> &parts);

void render_json(const Sources &src, const Plan &plan, const Held &held, const Comparison &c);
void render_text(const Sources &src, const Plan &plan, const Held &held, const Comparison &c);

}  // namespace tavikctl::bmc_targets
