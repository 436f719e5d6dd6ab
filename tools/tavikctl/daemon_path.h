// SPDX-License-Identifier: GPL-3.0-or-later
// Where tavikctl finds the programs it starts. No shared state.
#pragma once

#include <string>

namespace tavikctl {

// Whether this tavikctl runs from the build tree (it then uses the programs and policies
// of the same build and source tree).
bool running_from_build_tree();

// The daemon: $TAVIK_DAEMON, else the one built beside this tavikctl, else the installed one.
std::string default_daemon_path();

// The simulated BMC's launcher: the one built beside this tavikctl, else the installed one.
std::string default_bmcsim_path();

// The policy directory: $TAVIK_POLICY_DIR, else the source tree's, else the installed one.
std::string default_policy_dir();

// This tavikctl's own executable.
std::string self_path();

}  // namespace tavikctl
