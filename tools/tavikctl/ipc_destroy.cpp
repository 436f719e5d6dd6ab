// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl destroy [--name NAME]`: removes the IPC namespace (both segments and both
// semaphores). Processes still attached keep their mappings until they detach.
// Runs on tavikctl's single thread.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "audit.h"
#include "command.h"
#include "ipc_cli.h"

namespace {

tavikctl::CommandRegistrar destroy_command([](CLI::App &app) {
    static std::string name;
    auto *cmd = app.add_subcommand("destroy", "remove the IPC namespace");
    tavikctl::add_namespace_option(cmd, name);
    cmd->callback([] {
        std::string ns = tavikctl::chosen_namespace(name);
        int rc = ipc_destroy(ns.c_str());
        if (rc == ZVRIPC_ENOENT) {
            throw std::runtime_error("namespace \"" + ns + "\" does not exist");
        }
        if (rc != ZVRIPC_OK) {
            tavikctl::throw_ipc(ns, "cannot remove everything", rc);
        }
        tavikctl::audit_destroy(ns);
        std::printf("namespace \"%s\": destroyed\n", ns.c_str());
    });
});

}  // namespace
