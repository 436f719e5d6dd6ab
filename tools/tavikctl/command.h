// SPDX-License-Identifier: GPL-3.0-or-later
// tavikctl's command registry. Each command file registers its subcommands with a
// static CommandRegistrar, so adding a command means adding a file and nothing else.
// Registration runs before main on one thread; nothing here is used after that.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace tavikctl {

// Adds one group of subcommands to the application. The callback a subcommand sets
// returns through exit_code(): 0 on success, non-zero with a message on stderr.
using CommandAdder = std::function<void(CLI::App &app)>;

std::vector<CommandAdder> &command_adders();

struct CommandRegistrar {
    explicit CommandRegistrar(CommandAdder adder) { command_adders().push_back(std::move(adder)); }
};

// The subcommand group `name` (such as "bmc"), added with `description` by whichever
// command file registers first, so that several files can add commands to one group.
CLI::App *command_group(CLI::App &app, const std::string &name, const std::string &description);

// The exit status the finished subcommand chose.
int &exit_code();

}  // namespace tavikctl
