// SPDX-License-Identifier: GPL-3.0-or-later
// The command registry (command.h), filled by the command files before main runs.
#include "command.h"

namespace tavikctl {

std::vector<CommandAdder> &command_adders() {
    static std::vector<CommandAdder> adders;
    return adders;
}

CLI::App *command_group(CLI::App &app, const std::string &name, const std::string &description) {
    const auto found = app.get_subcommands([&](CLI::App *sub) { return sub->get_name() == name; });
    if (!found.empty()) {
        return found.front();
    }
    CLI::App *group = app.add_subcommand(name, description);
    group->require_subcommand(1);
    return group;
}

int &exit_code() {
    static int code = 0;
    return code;
}

}  // namespace tavikctl
