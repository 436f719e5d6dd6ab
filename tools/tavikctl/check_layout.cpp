// SPDX-License-Identifier: GPL-3.0-or-later
// check-config's reading of single keys and its checks of servers and heartbeat
// resources. Single-threaded (see check_config.h).
#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "check_config.h"

namespace tavikctl::checkcfg {

Read read_key(const std::string &path, int type, int buffer) {
    Read r;
    std::vector<char> buf(static_cast<std::size_t>(std::max(buffer, 4)), '\0');
    int size = buffer;
    r.result = xmllib_get_value(path.c_str(), type, buf.data(), &size);
    if (r.result != XMLLIB_OK) {
        r.why = xmllib_last_error();
    } else if (type == XMLLIB_TYPE_INT) {
        std::memcpy(&r.number, buf.data(), sizeof r.number);
    } else {
        r.text = buf.data();
    }
    return r;
}

std::string read_failure(const Read &r, std::string_view raw, int buffer, std::string_view fallback) {
    std::string then =
        fallback.empty() ? "" : "; the daemon would take its default, " + std::string(fallback);
    switch (r.result) {
        case XMLLIB_E_NOT_INT:
            return in_quotes(raw) + " is not an integer (decimal, or hexadecimal after 0x)" + then;
        case XMLLIB_E_INT_RANGE:
            return raw.empty() ? "out of range" + then : std::string(raw) + " does not fit 32 bits" + then;
        case XMLLIB_E_TOO_LONG:
            return "longer than the " + std::to_string(buffer - 1) + " characters the daemon reads" + then;
        case XMLLIB_E_NOT_LEAF:
            return "holds elements where a value belongs" + then;
        default:
            return r.why + then;
    }
}

namespace {

// "a.b.c.d" or "a.b.c.d/N": an error text, or empty when the daemon can use it.
std::string address_problem(const std::string &text) {
    std::size_t slash = text.find('/');
    std::string address = text.substr(0, slash);
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        return in_quotes(text) + " is not an IPv4 address";
    }
    if (slash != std::string::npos) {
        std::string mask = text.substr(slash + 1);
        std::optional<int> bits =
            mask.find_first_not_of("0123456789") == std::string::npos && !mask.empty() && mask.size() <= 2
                ? std::optional<int>(std::stoi(mask))
                : std::nullopt;
        if (!bits || *bits > 32) {
            return in_quotes(text) + " has a mask suffix that is not /0 to /32";
        }
    }
    return {};
}

}  // namespace

void check_servers(Report &report, const ClusterLayout &layout) {
    if (layout.servers.empty()) {
        report.error(0, "/root/server", "no <server>: the cluster has no nodes");
    }
    std::map<std::string, int> names;
    std::map<int, std::pair<std::string, int>> priorities;
    for (const ServerEntry &server : layout.servers) {
        std::string key = "/root/server@" + server.name;
        if (!server.has_name || server.name.empty()) {
            report.error(server.line, "/root/server", "a <server> without a name attribute");
            continue;
        }
        if (server.name.find('/') != std::string::npos) {
            report.error(server.line, key, "a server name cannot hold '/': no key path can reach it");
        }
        if (server.name.size() > node_name_limit) {
            report.error(server.line, key, "a name longer than 255 characters: the daemon keeps only 255");
        }
        if (server.name.find('.') != std::string::npos) {
            report.warning(server.line, key,
                           "the name holds a dot; the daemon compares names with the host name cut at its "
                           "first dot, so this server can never be the own node");
        }
        if (auto [it, fresh] = names.emplace(server.name, server.line); !fresh) {
            report.error(server.line, key,
                         "a second server of this name (first at line " + std::to_string(it->second) + ")");
        }
        if (!server.priority_text) {
            report.error(server.line, key + "/priority",
                         "missing: every server needs a priority (its node id)");
        } else if (!server.priority) {
            report.error(server.line, key + "/priority",
                         in_quotes(*server.priority_text) + " is not an integer");
        } else if (auto [it, fresh] =
                       priorities.emplace(*server.priority, std::make_pair(server.name, server.line));
                   !fresh) {
            report.error(server.line, key + "/priority",
                         std::to_string(*server.priority) + " is already the priority of server " +
                             it->second.first + " (line " + std::to_string(it->second.second) + ")");
        }
        std::set<int> ids;
        for (const DeviceEntry &device : server.devices) {
            std::string dkey = key + "/device@" + device.id_text;
            if (!device.id) {
                report.error(device.line, dkey,
                             "the device name " + in_quotes(device.id_text) + " is not an integer");
                continue;
            }
            if (device.id_text != std::to_string(*device.id)) {
                report.error(device.line, dkey,
                             "the daemon looks this device up as device@" + std::to_string(*device.id) +
                                 " and will not find it; write name=\"" + std::to_string(*device.id) + "\"");
                continue;
            }
            if (!ids.insert(*device.id).second) {
                report.warning(device.line, dkey, "a second device of this id; only the first one is read");
                continue;
            }
            if (!device.address) {
                report.error(device.line, dkey + "/info", "missing: no BMC address for this device");
            } else if (device.address->size() >= static_cast<std::size_t>(address_buffer)) {
                report.error(device.line, dkey + "/info", "longer than the 45 characters the daemon reads");
            } else if (std::string why = address_problem(*device.address); !why.empty()) {
                report.error(device.line, dkey + "/info", why);
            }
        }
        for (const StrayElement &stray : server.stray) {
            report.warning(stray.line, key + "/" + stray.name,
                           "unknown element in a server: nothing reads it");
        }
    }
}

void check_resources(Report &report, const ClusterLayout &layout) {
    std::map<std::string, int> names;
    int served = 0;
    for (const ResourceEntry &rsc : layout.resources) {
        std::string key = "/root/heartbeat/" + rsc.type + "@" + rsc.name;
        if (rsc.type != "tavik") {
            report.warning(rsc.line, key,
                           "resource type " + in_quotes(rsc.type) + ": tavik serves only type \"tavik\"");
            continue;
        }
        if (!rsc.has_name || rsc.name.empty()) {
            report.error(rsc.line, "/root/heartbeat/tavik", "a heartbeat resource without a name attribute");
            continue;
        }
        ++served;
        if (rsc.section > 0) {
            report.error(rsc.line, key,
                         "in a second <heartbeat>: the daemon reads device ids from the first one only");
        }
        // Each of these makes the daemon's device-id read miss this element, so the
        // checks that read through the library below would only add noise.
        bool unreachable = false;
        if (rsc.name.find('/') != std::string::npos) {
            report.error(rsc.line, key, "a resource name cannot hold '/': no key path can reach it");
            unreachable = true;
        }
        if (rsc.name.size() > resource_name_limit) {
            report.error(rsc.line, key,
                         "a name longer than 31 characters: the daemon keeps 31 and then finds no device id");
            unreachable = true;
        }
        if (auto [it, fresh] = names.emplace(rsc.name, rsc.line); !fresh) {
            report.error(rsc.line, key,
                         "a second resource of this name (first at line " + std::to_string(it->second) + ")");
            unreachable = true;
        }
        if (!rsc.priority_text) {
            report.warning(rsc.line, key + "/priority", "missing: the resource has no priority");
        } else if (!rsc.priority) {
            report.error(rsc.line, key + "/priority", in_quotes(*rsc.priority_text) + " is not an integer");
        }
        for (const StrayElement &stray : rsc.stray) {
            report.warning(stray.line, key + "/" + stray.name,
                           "unknown element in a resource: nothing reads it");
        }
        if (rsc.section > 0 || unreachable) {
            continue;
        }
        Read device = read_key(key + "/device", XMLLIB_TYPE_INT, 4);
        if (device.result == XMLLIB_E_NO_KEY) {
            report.error(rsc.line, key + "/device",
                         "missing: without a device id the resource stays inactive");
            continue;
        }
        if (device.result != XMLLIB_OK) {
            report.error(
                rsc.line, key + "/device",
                read_failure(device, rsc.device_text.value_or(""), 4, "") + "; the resource stays inactive");
            continue;
        }
        if (device.number < 0) {
            report.warning(rsc.line, key + "/device",
                           std::to_string(device.number) + " is negative: the resource stays inactive");
            continue;
        }
        // Every server needs an address for this device, read exactly as the daemon does.
        for (const ServerEntry &server : layout.servers) {
            if (!server.has_name || server.name.empty() || server.name.find('/') != std::string::npos) {
                continue;  // reported with the server
            }
            std::string path =
                "/root/server@" + server.name + "/device@" + std::to_string(device.number) + "/info";
            Read address = read_key(path, XMLLIB_TYPE_STRING, address_buffer);
            if (address.result == XMLLIB_E_NO_KEY) {
                report.error(server.line, path,
                             "no BMC address for device " + std::to_string(device.number) + " of resource " +
                                 rsc.name + ": the node is unused for it");
            } else if (address.result == XMLLIB_E_NOT_LEAF) {
                report.error(server.line, path, read_failure(address, "", address_buffer, ""));
            }
            // Other failures and bad addresses are reported with the server's device.
        }
    }
    if (served == 0) {
        report.warning(0, "/root/heartbeat",
                       "no heartbeat resource of type \"tavik\": the daemon has nothing to do");
    }
}

}  // namespace tavikctl::checkcfg
