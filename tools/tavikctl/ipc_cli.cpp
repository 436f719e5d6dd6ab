// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the IPC commands: namespace choice, handle, state and status names.
#include "ipc_cli.h"

#include <strings.h>
#include <time.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <stdexcept>

#include "cluster_layout.h"
#include "zvripc.h"

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
    opened(rc, ipc_last_error());
}

IpcHandle::IpcHandle(const std::string &ns, ReadOnly) : name_(ns) {
    int rc = ipc_open_readonly(ns.c_str(), &handle_);
    opened(rc, ipc_last_error());
}

IpcHandle::IpcHandle(const std::string &ns, Reader) : name_(ns) {
    int rc = ipc_open(ns.c_str(), &handle_);
    const std::string why = ipc_last_error();
    if (rc == ZVRIPC_EBADSEG && ipc_open_readonly(ns.c_str(), &handle_) == ZVRIPC_OK) {
        if (older_layout() != 0) {
            return;
        }
        ipc_close(handle_);
        handle_ = nullptr;
    }
    opened(rc, why);
}

int IpcHandle::older_layout() const {
    const int layout = ipc_handle_layout(handle_);
    return layout < ipc_layout_version() ? layout : 0;
}

std::string older_layout_line(int layout) {
    return "namespace from an older tavik (layout " + std::to_string(layout) + ", this tavikctl reads " +
           std::to_string(ipc_layout_version()) +
           "): read as it stands; restarting the service (`tavikctl init --if-missing`) migrates it";
}

void IpcHandle::opened(int rc, const std::string &why) {
    const std::string &ns = name_;
    if (rc == ZVRIPC_ENOENT) {
        throw std::runtime_error("namespace \"" + ns + "\" does not exist (" + why +
                                 "); create it with `tavikctl init`");
    }
    if (rc != ZVRIPC_OK) {
        throw std::runtime_error("namespace \"" + ns +
                                 "\": cannot open: " + (why.empty() ? ipc_strerror(rc) : why));
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
        case RSCSV_ONLINE:
            return "online";
        case RSCSV_OFFLINE:
            return "offline";
        case RSCSV_UNKNOWN:
            return "unknown";
        case RSCSV_UNUSED:
            return "unused";
        default:
            return "invalid";
    }
}

const char *status_name(int status) {
    switch (status) {
        case RSC_NORMAL:
            return "normal";
        case RSC_CAUTION:
            return "caution";
        case RSC_ERROR:
            return "error";
        case RSC_UNKNOWN:
            return "unknown";
        case RSC_UNUSED:
            return "unused";
        default:
            return "invalid";
    }
}

namespace {
constexpr int kStates[] = {RSCSV_ONLINE, RSCSV_OFFLINE, RSCSV_UNKNOWN, RSCSV_UNUSED};
}  // namespace

std::string state_choices() {
    std::string names;
    std::string numbers;
    for (int state : kStates) {
        const char *sep = state == kStates[0] ? "" : ", ";
        names += sep + std::string(state_name(state));
        numbers += sep + std::to_string(state);
    }
    return names + " or " + numbers;
}

std::optional<int> parse_state(const std::string &text) {
    std::optional<int> number = parse_config_int(text);
    for (int state : kStates) {
        if (strcasecmp(text.c_str(), state_name(state)) == 0 || number == state) {
            return state;
        }
    }
    return std::nullopt;
}

std::string duration_text(long long nanoseconds) {
    long long s = nanoseconds > 0 ? nanoseconds / 1000000000 : 0;
    char buf[64];
    if (s < 60) {
        std::snprintf(buf, sizeof buf, "%llds", s);
    } else if (s < 3600) {
        std::snprintf(buf, sizeof buf, "%lldm%llds", s / 60, s % 60);
    } else if (s < 86400) {
        std::snprintf(buf, sizeof buf, "%lldh%02lldm", s / 3600, s % 3600 / 60);
    } else {
        std::snprintf(buf, sizeof buf, "%lldd%02lldh", s / 86400, s % 86400 / 3600);
    }
    return buf;
}

std::optional<long long> parse_duration_seconds(const std::string &text) {
    if (text.empty()) {
        return std::nullopt;
    }
    constexpr long long kLimit = 100LL * 365 * 86400;  // a century: beyond any history
    long long total = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return std::nullopt;
        }
        long long value = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            value = value * 10 + (text[i] - '0');
            if (value > kLimit) {
                return std::nullopt;
            }
            ++i;
        }
        long long unit = 1;
        if (i < text.size()) {
            switch (text[i]) {
                case 'd':
                    unit = 86400;
                    break;
                case 'h':
                    unit = 3600;
                    break;
                case 'm':
                    unit = 60;
                    break;
                case 's':
                    unit = 1;
                    break;
                default:
                    return std::nullopt;
            }
            ++i;
        } else if (total != 0) {
            return std::nullopt;  // "1m30": a bare number only stands alone
        }
        total += value * unit;
        if (total > kLimit) {
            return std::nullopt;
        }
    }
    return total > 0 ? std::optional<long long>(total) : std::nullopt;
}

std::string wall_time_text(long long nanoseconds) {
    time_t seconds = static_cast<time_t>(nanoseconds / 1000000000);
    struct tm utc {};
    gmtime_r(&seconds, &utc);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(nanoseconds % 1000000000 / 1000000));
    return buf;
}

}  // namespace tavikctl
