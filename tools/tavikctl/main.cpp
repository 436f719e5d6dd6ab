// SPDX-License-Identifier: GPL-3.0-or-later
// tavikctl: the operator's tool for a tavik node. Parses the command line and runs the
// one subcommand given; each subcommand lives in its own file of the tavikctlcore
// library and registers itself there (command.h).
#include <cstdio>
#include <exception>

#include "command.h"

int main(int argc, char **argv) {
    CLI::App app{"tavikctl: create, inspect and steer a tavik node and its cluster state"};
    app.require_subcommand(1);
    for (auto &add : tavikctl::command_adders()) {
        add(app);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavikctl: %s\n", e.what());
        return 1;
    }
    return tavikctl::exit_code();
}
