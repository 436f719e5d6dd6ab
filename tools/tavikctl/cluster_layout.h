// SPDX-License-Identifier: GPL-3.0-or-later
// The cluster's layout as the configuration file states it: the servers (nodes) with
// their priorities and per-device BMC addresses, and the heartbeat resources with their
// type, priority and device id. tavikctl builds the IPC namespace from it and validates
// it; the daemon never reads it this way (it reads keys through libzvrxml).
// Plain data and free functions; no shared state.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavikctl {

// An element the layout does not know, kept so that a validator can point at it.
struct StrayElement {
    std::string name;
    int line = 0;
};

struct DeviceEntry {
    std::string id_text;                 // the name attribute as written
    std::optional<int> id;               // ... when it is an integer
    std::optional<std::string> address;  // <info> text, blanks trimmed, when present
    int line = 0;
};

struct ServerEntry {
    std::string name;
    std::optional<int> priority;                // <priority>, when present and an integer
    std::map<int, std::string> device_address;  // <device name="N"><info>ADDR</info>; the
                                                // first one of an id, as the daemon reads it
    int line = 0;                               // line of the <server> element
    bool has_name = false;                      // whether the name attribute is present
    std::optional<std::string> priority_text;   // <priority> text when present, trimmed
    std::vector<DeviceEntry> devices;           // every <device>, in file order
    std::vector<StrayElement> stray;            // children other than <priority>, <device>
};

struct ResourceEntry {
    std::string type;  // element name inside <heartbeat>, such as "tavik"
    std::string name;  // its name attribute
    std::optional<int> priority;
    std::optional<int> device;
    int line = 0;
    bool has_name = false;
    std::optional<std::string> priority_text;  // raw texts, trimmed, when present
    std::optional<std::string> device_text;
    int section = 0;                  // which <heartbeat> element holds it, 0 = the first
    std::vector<StrayElement> stray;  // children other than <priority>, <device>
};

struct ClusterLayout {
    std::string path;
    std::vector<ServerEntry> servers;
    std::vector<ResourceEntry> resources;
    int heartbeat_sections = 0;  // number of <heartbeat> elements
};

// Reads the layout from a configuration file. Throws std::runtime_error naming the file
// (and the line, for malformed XML) when it cannot be read or parsed, is larger than the
// configuration library accepts, or has a DOCTYPE. Elements that cannot be understood
// are kept with their optional fields empty, so that a validator can say what is wrong
// with them.
ClusterLayout load_cluster_layout(const std::string &path);

// The whole text of a configuration file, with the configuration library's size limit;
// throws std::runtime_error naming the file when it cannot be read.
std::string read_config_text(const std::string &path);

// Parses a 32-bit integer as the configuration writes it: decimal with an optional sign,
// or 0x hex, with surrounding blanks allowed. Empty on anything else, including overflow.
// Accepts exactly what the configuration library accepts.
std::optional<int> parse_config_int(const std::string &text);

// 1-based line of a byte offset in a text.
int line_of_offset(const std::string &text, std::ptrdiff_t offset);

// Line numbers of many offsets in one text, without rescanning it each time.
class LineIndex {
  public:
    explicit LineIndex(const std::string &text);
    int line_of(std::ptrdiff_t offset) const;

  private:
    std::vector<std::ptrdiff_t> newlines_;
};

}  // namespace tavikctl
