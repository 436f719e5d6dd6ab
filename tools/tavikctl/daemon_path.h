// SPDX-License-Identifier: GPL-3.0-or-later
// Where tavikctl finds the programs it starts. No shared state.
#pragma once

#include <string>

namespace tavikctl {

// The daemon: $TAVIK_DAEMON, else the one built beside this tavikctl, else the installed one.
std::string default_daemon_path();

}  // namespace tavikctl
