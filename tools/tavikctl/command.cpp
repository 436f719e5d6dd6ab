// SPDX-License-Identifier: GPL-3.0-or-later
// The command registry (command.h), filled by the command files before main runs.
#include "command.h"

namespace tavikctl {

std::vector<CommandAdder> &command_adders() {
    static std::vector<CommandAdder> adders;
    return adders;
}

int &exit_code() {
    static int code = 0;
    return code;
}

}  // namespace tavikctl
