// SPDX-License-Identifier: GPL-3.0-or-later
// The namespace in the Prometheus text exposition format (version 0.0.4): one gauge per
// pair state and resource status (a series per possible value, 1 for the one held),
// change counters and last change times, whether a live daemon is attached, the age of
// each of its thread's cycles and the detection windows. Pure: the caller reads the
// namespace and the configuration.
#pragma once

#include <optional>
#include <string>

#include "detection.h"
#include "health_view.h"

namespace tavikctl {

std::string metrics_text(const zvripc_snapshot &snap, const HealthView &health,
                         const std::optional<DetectionWindows> &windows);

// For a namespace that cannot be read: only tavik_up 0 and the reason as a label.
std::string metrics_unreadable(const std::string &ns, const std::string &why);

// A label value with \, " and newlines escaped.
std::string label_value(const std::string &text);

}  // namespace tavikctl
