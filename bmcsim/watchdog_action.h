// SPDX-License-Identifier: GPL-3.0-or-later
// What the simulated BMC's watchdog does when its countdown runs out: the timeout action
// (hard reset, power down, power cycle) carried out on the host through the system
// interface, which reaches a QEMU guest when tavik-bmcsim runs with --vm-port. Without
// such a host the action stays recorded in the expiration flags only. Runs in ipmi_sim's
// single select loop: no locks.
#pragma once

#include <OpenIPMI/ipmiif.h>
extern "C" {
#include <OpenIPMI/lanserv.h>
}

#include <cstdint>

namespace tavik::bmcsim {

// Once, from the module's init: the simulator's timers.
int watchdog_action_init(sys_data_t *sys);

// After every change of the timer: counting with ms_left until it runs out, or stopped.
// action is the timeout action (bits 0-2 of the timer's actions byte).
void watchdog_action_arm(lmc_data_t *mc, bool running, std::int64_t ms_left, std::uint8_t action);

}  // namespace tavik::bmcsim
