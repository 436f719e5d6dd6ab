// SPDX-License-Identifier: GPL-3.0-or-later
// What the IPC commands of tavikctl (init, status, set, destroy) share: the --name
// option and how the namespace is chosen, an owning handle that turns library failures
// into messages naming the namespace, and the names of states and statuses.
// Used on tavikctl's single thread.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>

#include "zvripc_admin.h"

namespace tavikctl {

// Adds --name NAME (the namespace; default $TAVIK_IPC_NAME or "tavik") to a command.
void add_namespace_option(CLI::App *cmd, std::string &name);

// The namespace a command works on: the --name value, or the process default. Throws
// std::runtime_error when the name is not valid.
std::string chosen_namespace(const std::string &option);

// Throws std::runtime_error "namespace "NAME": WHAT: <library's message>" for result rc.
[[noreturn]] void throw_ipc(const std::string &ns, const std::string &what, int rc);
// The one line that says a namespace is from an older tavik and what migrates it.
std::string older_layout_line(int layout);

// An open namespace. Opening throws with a message that says how to create it when it
// does not exist.
class IpcHandle {
  public:
    explicit IpcHandle(const std::string &ns);
    // Mapped without write access (ipc_open_readonly): for readers that face a network.
    enum class ReadOnly { yes };
    IpcHandle(const std::string &ns, ReadOnly);
    // For a command that only reads: read-write, or read-only when the namespace was made
    // by an older tavik (read as it stands, until the service's start migrates it).
    enum class Reader { yes };
    IpcHandle(const std::string &ns, Reader);
    IpcHandle(const IpcHandle &) = delete;
    IpcHandle &operator=(const IpcHandle &) = delete;
    ~IpcHandle() { ipc_close(handle_); }
    zvripc_handle *get() const { return handle_; }
    const std::string &name() const { return name_; }
    // The layout the namespace was found in, when an older tavik made it; else 0.
    int older_layout() const;

  private:
    void opened(int rc, const std::string &why);
    std::string name_;
    zvripc_handle *handle_ = nullptr;
};

// A snapshot that frees itself.
struct SnapshotDeleter {
    void operator()(zvripc_snapshot *snap) const { ipc_snapshot_free(snap); }
};
using Snapshot = std::unique_ptr<zvripc_snapshot, SnapshotDeleter>;
Snapshot take_snapshot(const IpcHandle &handle);

// "online", "offline", "unknown", "unused" for the RSCSV_* states; "invalid" otherwise.
const char *state_name(int state);
// "normal", "caution", "error", "unknown", "unused" for the RSC_* statuses; "invalid" otherwise.
const char *status_name(int status);
// A state by name (any case) or number; empty when it is neither.
std::optional<int> parse_state(const std::string &text);
// The states parse_state takes, for usage lines and errors: names, then numbers.
std::string state_choices();

// A duration as operators read it: "0s", "45s", "3m12s", "2h05m", "3d04h". Negative
// values show as "0s".
std::string duration_text(long long nanoseconds);
// A duration given on the command line: a number of seconds, or numbers each followed
// by d, h, m or s ("90s", "10m", "1h30m", "2d"). Empty unless it is more than 0 and
// fits.
std::optional<long long> parse_duration_seconds(const std::string &text);
// A CLOCK_REALTIME time in nanoseconds as UTC, "2026-12-08T14:03:12.345Z".
std::string wall_time_text(long long nanoseconds);

}  // namespace tavikctl
