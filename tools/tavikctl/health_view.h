// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's health as `status` and `metrics` show it: read from an open namespace,
// judged against the configured cycles, and put into words, JSON and the one line of
// `status --check`. Runs on tavikctl's single thread.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "health.h"
#include "ipc_cli.h"

namespace tavikctl {

// The schema version of `status --json`; docs/status-json.md describes it.
inline constexpr int kStatusJsonSchema = 2;

struct HealthView {
    zvripc_liveness live{};
    CycleLimits limits;
    bool limits_from_defaults = false;  // the configuration could not be read
    Health health;
    int layout = 0;  // the namespace's layout (older when an older tavik made it)
};

// windows: those of the configuration, or none when it cannot be read (the daemon's
// defaults are then used for the cycles, as the daemon itself would).
HealthView read_health(const IpcHandle &handle, const zvripc_snapshot &snap,
                       const std::optional<DetectionWindows> &windows);

nlohmann::ordered_json health_json(const HealthView &view);
nlohmann::ordered_json supervisor_json(const zvripc_supervisor &s);
nlohmann::ordered_json audit_json(const zvripc_liveness &live);

// The lines under the headline in the table of `status`: the supervisor and the last
// manual change, when there are any.
std::vector<std::string> health_lines(const HealthView &view);

// "TAVIK OK - daemon 4711 up 3h05m, check cycle 2s ago; hb1 normal" and the like.
std::string check_line(const zvripc_snapshot &snap, const HealthView &view);
// The same for a namespace that cannot be read.
std::string check_line_unknown(const std::string &why);

}  // namespace tavikctl
