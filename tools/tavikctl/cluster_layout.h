// SPDX-License-Identifier: GPL-3.0-or-later
// The cluster's layout as the configuration file states it: the servers (nodes) with
// their priorities and per-device BMC addresses, and the heartbeat resources with their
// type, priority and device id. tavikctl builds the IPC namespace from it and validates
// it; the daemon never reads it this way (it reads keys through libzvrxml).
// Plain data and free functions; no shared state.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavikctl {

struct ServerEntry {
    std::string name;
    std::optional<int> priority;               // <priority>, when present and an integer
    std::map<int, std::string> device_address;  // <device name="N"><info>ADDR</info>
    int line = 0;                               // line of the <server> element
};

struct ResourceEntry {
    std::string type;  // element name inside <heartbeat>, such as "tavik"
    std::string name;  // its name attribute
    std::optional<int> priority;
    std::optional<int> device;
    int line = 0;
};

struct ClusterLayout {
    std::string path;
    std::vector<ServerEntry> servers;
    std::vector<ResourceEntry> resources;
};

// Reads the layout from a configuration file. Throws std::runtime_error naming the file
// (and the line, for malformed XML) when it cannot be read or parsed. Elements that
// cannot be understood are kept with their optional fields empty, so that a validator
// can say what is wrong with them.
ClusterLayout load_cluster_layout(const std::string &path);

// Parses a 32-bit integer as the configuration writes it: decimal or 0x hex, with
// surrounding blanks allowed. Empty on anything else, including overflow.
std::optional<int> parse_config_int(const std::string &text);

// 1-based line of a byte offset in a text.
int line_of_offset(const std::string &text, std::ptrdiff_t offset);

}  // namespace tavikctl
