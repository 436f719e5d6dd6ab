// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl version`: prints the tool's version.
#include <cstdio>

#include "command.h"

namespace {

tavikctl::CommandRegistrar version_command([](CLI::App &app) {
    auto *cmd = app.add_subcommand("version", "print the version of tavikctl");
    cmd->callback([] { std::printf("tavikctl 1.1.0\n"); });
});

}  // namespace
