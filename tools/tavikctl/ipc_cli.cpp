// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the IPC commands: namespace choice, handle, state and status names.
#include "ipc_cli.h"

#include <strings.h>

#include <stdexcept>

#include "cluster_layout.h"

namespace tavikctl {

void add_namespace_option(CLI::App *cmd, std::string &name) {
    cmd->add_option("--name", name,
                    "IPC namespace to work on (default: $TAVIK_IPC_NAME, else \"" ZVRIPC_DEFAULT_NAME "\")");
}

std::string chosen_namespace(const std::string &option) {
    char buf[ZVRIPC_NAME_MAX + 1];
    if (!option.empty()) {
        if (ipc_valid_name(option.c_str()) != ZVRIPC_OK) {
            throw std::runtime_error(std::string("--name: ") + ipc_last_error());
        }
        return option;
    }
    if (int rc = ipc_default_name(buf, sizeof buf)) {
        throw std::runtime_error(std::string("cannot choose the namespace: ") + ipc_last_error() + " (" +
                                 ipc_strerror(rc) + ")");
    }
    return buf;
}

void throw_ipc(const std::string &ns, const std::string &what, int rc) {
    std::string detail = ipc_last_error();
    if (detail.empty()) {
        detail = ipc_strerror(rc);
    }
    throw std::runtime_error("namespace \"" + ns + "\": " + what + ": " + detail);
}

IpcHandle::IpcHandle(const std::string &ns) : name_(ns) {
    int rc = ipc_open(ns.c_str(), &handle_);
    if (rc == ZVRIPC_ENOENT) {
        throw std::runtime_error("namespace \"" + ns + "\" does not exist (" + ipc_last_error() +
                                 "); create it with `tavikctl init`");
    }
    if (rc != ZVRIPC_OK) {
        throw_ipc(ns, "cannot open", rc);
    }
}

Snapshot take_snapshot(const IpcHandle &handle) {
    zvripc_snapshot *snap = nullptr;
    if (int rc = ipc_snapshot(handle.get(), &snap)) {
        throw_ipc(handle.name(), "cannot read", rc);
    }
    return Snapshot(snap);
}

const char *state_name(int state) {
    switch (state) {
    case 1: return "online";
    case 2: return "offline";
    case 9: return "unknown";
    case 15: return "unused";
    default: return "invalid";
    }
}

const char *status_name(int status) {
    switch (status) {
    case 0: return "normal";
    case 3: return "caution";
    case 4: return "error";
    case 9: return "unknown";
    case 15: return "unused";
    default: return "invalid";
    }
}

std::optional<int> parse_state(const std::string &text) {
    for (int state : {1, 2, 9, 15}) {
        if (strcasecmp(text.c_str(), state_name(state)) == 0) {
            return state;
        }
    }
    std::optional<int> number = parse_config_int(text);
    if (number && (*number == 1 || *number == 2 || *number == 9 || *number == 15)) {
        return number;
    }
    return std::nullopt;
}

}  // namespace tavikctl
