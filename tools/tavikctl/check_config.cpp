// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl check-config [FILE]`: checks a cluster configuration the way the daemon
// will read it. Values are read through libzvrxml itself, with the daemon's types and
// buffer sizes, so a value this command accepts is a value the daemon gets; the file is
// also walked with pugixml to find what nothing reads (typos) and to give line numbers.
// Prints one line per problem, "FILE:LINE: error|warning: KEY: message", then a summary;
// exits 0 without errors, 2 with errors, 1 when the check itself cannot run.
// Single-threaded, like the rest of tavikctl; it sets TAVIK_CONFIG (and
// TAVIK_POLICY_DIR with --policy-dir) in its own environment for the library.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <pugixml.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "check_config_limits.h"
#include "cluster_layout.h"
#include "command.h"
#include "detection.h"
#include "zvrxml.h"

namespace tavikctl {
namespace {

// The policies the daemon loads, in the order it loads them.
constexpr const char *daemon_policies[] = {"tavik", "all", "nm"};

// Buffer the daemon passes for a string key; integers always get 4 bytes.
int daemon_buffer(std::string_view path) {
    if (path == "/root/tavik/mlock") {
        return 16;
    }
    return 1024;
}

// The daemon's address buffer and its limits on names (table record sizes).
constexpr int address_buffer = 46;
constexpr std::size_t node_name_limit = 255;
constexpr std::size_t resource_name_limit = 31;

// Defaults the daemon takes when a key cannot be read, for the messages.
const std::map<std::string, std::string, std::less<>> daemon_defaults = {
    {"/root/tavik/nice", "-20"},
    {"/root/tavik/mlock", "no memory lock"},
    {"/root/tavik/sched/schedule", "0"},
    {"/root/tavik/sched/priority", "0"},
    {"/root/tavik/watchth", "1"},
    {"/root/tavik/thread/stacksize", "0"},
    {"/root/tavik/log/level", "4"},
    {"/root/tavik/log/size", "1000000"},
    {"/root/all/num/server", "32"},
    {"/root/all/num/hbr", "128"},
    {"/root/cluster/heartbeat/timeout", "90000"},
    {"/root/cluster/heartbeat/interval", "3000"},
    {"/root/cluster/delaywarn/heartbeat", "80"},
};

enum class Severity { warning, error };

struct Problem {
    int line = 0;  // 0 when the problem has no place in the file
    Severity severity = Severity::error;
    std::string key;
    std::string message;
};

class Report {
  public:
    explicit Report(std::string file) : file_(std::move(file)) {}

    void error(int line, std::string key, std::string message) {
        problems_.push_back({line, Severity::error, std::move(key), std::move(message)});
    }
    void warning(int line, std::string key, std::string message) {
        problems_.push_back({line, Severity::warning, std::move(key), std::move(message)});
    }
    // Printed after the problems, before the summary.
    void note(std::string line) { notes_.push_back(std::move(line)); }

    // Prints every problem in file order, then the summary (or all of it as JSON); returns
    // the exit status. strict: warnings fail too.
    int print(bool strict = false, bool json = false) {
        std::stable_sort(problems_.begin(), problems_.end(),
                         [](const Problem &a, const Problem &b) { return a.line < b.line; });
        int errors = 0;
        int warnings = 0;
        nlohmann::ordered_json listed = nlohmann::ordered_json::array();
        for (const Problem &p : problems_) {
            bool is_error = p.severity == Severity::error;
            (is_error ? errors : warnings)++;
            if (json) {
                listed.push_back({{"line", p.line},
                                  {"severity", is_error ? "error" : "warning"},
                                  {"key", p.key},
                                  {"message", p.message}});
                continue;
            }
            std::string place = p.line > 0 ? file_ + ":" + std::to_string(p.line) : file_;
            std::printf("%s: %s: %s%s%s\n", place.c_str(), is_error ? "error" : "warning", p.key.c_str(),
                        p.key.empty() ? "" : ": ", p.message.c_str());
        }
        const int status = errors > 0 || (strict && warnings > 0) ? 2 : 0;
        if (json) {
            nlohmann::ordered_json doc = {{"file", file_},    {"errors", errors},  {"warnings", warnings},
                                          {"strict", strict}, {"ok", status == 0}, {"problems", listed},
                                          {"notes", notes_}};
            std::printf("%s\n", doc.dump(2).c_str());
            return status;
        }
        for (const std::string &line : notes_) {
            std::printf("%s\n", line.c_str());
        }
        std::printf("%s: %d error%s, %d warning%s\n", file_.c_str(), errors, errors == 1 ? "" : "s", warnings,
                    warnings == 1 ? "" : "s");
        return status;
    }

  private:
    std::string file_;
    std::vector<Problem> problems_;
    std::vector<std::string> notes_;
};

// Thrown when the check itself cannot run (policies missing): exit status 1.
struct CheckFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string in_quotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

std::string direct_text(pugi::xml_node node) {
    std::string text;
    for (pugi::xml_node part : node.children()) {
        if (part.type() == pugi::node_pcdata || part.type() == pugi::node_cdata) {
            text += part.value();
        }
    }
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    std::size_t end = text.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// The result of reading one key through the library, as the daemon would.
struct Read {
    int result = XMLLIB_OK;
    int number = 0;
    std::string text;
    std::string why;  // the library's explanation on failure
};

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

// Explains a failed read of a key that is present in the file.
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

// The value rules the daemon applies after reading (its corrections), plus what the
// system does with a value the daemon passes on unchanged.
void check_values(Report &report, const std::map<std::string, std::pair<Read, int>, std::less<>> &values) {
    auto number = [&](std::string_view path) -> std::optional<int> {
        auto it = values.find(path);
        if (it == values.end() || it->second.first.result != XMLLIB_OK) {
            return std::nullopt;
        }
        return it->second.first.number;
    };
    auto line = [&](std::string_view path) { return values.find(path)->second.second; };
    auto corrected = [&](std::string_view path, int from, const std::string &to) {
        report.warning(line(path), std::string(path), std::to_string(from) + " would be corrected to " + to);
    };

    if (auto v = number("/root/tavik/nice"); v && (*v < -20 || *v > 19)) {
        report.warning(line("/root/tavik/nice"), "/root/tavik/nice",
                       std::to_string(*v) + " is outside -20..19; the system takes " +
                           std::to_string(std::clamp(*v, -20, 19)));
    }
    if (auto it = values.find("/root/tavik/mlock");
        it != values.end() && it->second.first.result == XMLLIB_OK) {
        std::string lower = it->second.first.text;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (lower != "yes" && lower != "no") {
            report.warning(it->second.second, it->first,
                           in_quotes(it->second.first.text) + " is not \"yes\": memory will not be locked");
        }
    }
    int schedule = number("/root/tavik/sched/schedule").value_or(0);
    if (auto v = number("/root/tavik/sched/schedule"); v && *v != 0 && *v != 1 && *v != 2) {
        report.warning(line("/root/tavik/sched/schedule"), "/root/tavik/sched/schedule",
                       std::to_string(*v) +
                           " is neither 0 (keep), 1 (SCHED_FIFO) nor 2 (SCHED_RR); the system will refuse it "
                           "and the inherited policy stays");
    }
    if (auto v = number("/root/tavik/sched/priority"); v) {
        if (schedule != 0 && (*v <= 0 || *v > 99)) {
            corrected("/root/tavik/sched/priority", *v, "1");
        } else if (schedule == 0 && *v != 0) {
            report.warning(line("/root/tavik/sched/priority"), "/root/tavik/sched/priority",
                           "has no effect while /root/tavik/sched/schedule is 0");
        }
    }
    if (auto v = number("/root/tavik/thread/stacksize"); v) {
        if (*v < 0) {
            corrected("/root/tavik/thread/stacksize", *v, "0 (the system's default)");
        } else if (*v > 0 && *v < 262144) {  // the daemon's minimum (src/table/stackmin.h)
            corrected("/root/tavik/thread/stacksize", *v, "262144");
        }
    }
    if (auto v = number("/root/cluster/heartbeat/timeout"); v && *v < 1) {
        corrected("/root/cluster/heartbeat/timeout", *v, "90000");
    }
    if (auto v = number("/root/cluster/heartbeat/interval"); v) {
        if (*v < 0) {
            corrected("/root/cluster/heartbeat/interval", *v, "3000");
        } else if (*v == 0) {
            corrected("/root/cluster/heartbeat/interval", *v, "100");
        } else if (*v > 2147483) {
            report.warning(
                line("/root/cluster/heartbeat/interval"), "/root/cluster/heartbeat/interval",
                std::to_string(*v) +
                    " ms is more than 2147483: the daemon's pause in microseconds does not fit 32 bits");
        }
    }
    if (auto v = number("/root/cluster/delaywarn/heartbeat"); v) {
        if (*v < 0) {
            corrected("/root/cluster/delaywarn/heartbeat", *v, "0");
        } else if (*v > 100) {
            corrected("/root/cluster/delaywarn/heartbeat", *v, "100");
        }
    }
}

// The detection windows the settings give, and the warnings about settings that defeat
// detection (a rate of 0 among them); each warning points at its key's line.
void check_windows(Report &report, const std::map<std::string, std::pair<Read, int>, std::less<>> &values,
                   const ClusterLayout &layout, int ratio) {
    DetectionWindows w = compute_windows(read_timing_settings(), ratio, sysconf(_SC_CLK_TCK));
    for (const WindowWarning &warning : window_warnings(w)) {
        auto it = values.find(warning.key);
        report.warning(it != values.end() ? it->second.second : 0, warning.key, warning.message);
    }
    std::vector<std::pair<std::string, bool>> resources;
    std::set<std::string> seen;
    for (const ResourceEntry &rsc : layout.resources) {
        if (rsc.type == "tavik" && !rsc.name.empty() && seen.insert(rsc.name).second) {
            resources.emplace_back(rsc.name, resource_active(rsc.name));
        }
    }
    for (std::string &line : describe_windows(w, resources, "")) {
        report.note(std::move(line));
    }
}

struct PolicyKeys {
    std::string name;
    std::string root;                     // element below <root>
    std::map<std::string, int> declared;  // path -> type
    std::set<std::string> inner;          // paths of elements that hold declared keys
};

PolicyKeys list_policy(const char *name) {
    if (int rc = xmllib_load_policy(name); rc != XMLLIB_OK) {
        throw CheckFailure(std::string("policy \"") + name + "\": " + xmllib_last_error());
    }
    PolicyKeys keys;
    keys.name = name;
    char path[1024];
    for (int i = 0;; ++i) {
        int size = sizeof path;
        int type = 0;
        int rc = xmllib_policy_key(name, i, path, &size, &type);
        if (rc == XMLLIB_E_NO_KEY) {
            break;
        }
        if (rc != XMLLIB_OK) {
            throw CheckFailure(std::string("policy \"") + name + "\": " + xmllib_last_error());
        }
        std::string key = path;
        keys.declared.emplace(key, type);
        for (std::size_t slash = key.rfind('/'); slash > std::string_view("/root").size();
             slash = key.rfind('/', slash - 1)) {
            keys.inner.insert(key.substr(0, slash));
        }
    }
    if (keys.declared.empty()) {
        throw CheckFailure(std::string("policy \"") + name + "\" declares no keys");
    }
    std::string first = keys.declared.begin()->first;  // "/root/ROOT/..."
    keys.root = first.substr(6, first.find('/', 6) - 6);
    return keys;
}

// Walks the first <ROOT> of one policy: every element must be a declared key or hold
// one. Present keys are read through the library into values.
void check_policy(Report &report, const LineIndex &lines, pugi::xml_node root, const PolicyKeys &keys,
                  std::map<std::string, std::pair<Read, int>, std::less<>> &values) {
    auto line_of = [&](pugi::xml_node n) { return lines.line_of(n.offset_debug()); };
    pugi::xml_node top = root.child(keys.root.c_str());
    if (!top) {
        return;  // every key takes its default
    }
    for (pugi::xml_node extra = top.next_sibling(keys.root.c_str()); extra;
         extra = extra.next_sibling(keys.root.c_str())) {
        report.warning(line_of(extra), "/root/" + keys.root,
                       "repeated; only the first <" + keys.root + "> (line " + std::to_string(line_of(top)) +
                           ") is read");
    }
    std::vector<std::pair<pugi::xml_node, std::string>> pending{{top, "/root/" + keys.root}};
    while (!pending.empty()) {
        auto [node, path] = pending.back();
        pending.pop_back();
        for (pugi::xml_node child : node.children()) {
            if (child.type() != pugi::node_element) {
                continue;
            }
            std::string key = path + "/" + child.name();
            pugi::xml_node first = node.child(child.name());
            if (first != child) {
                report.warning(
                    line_of(child), key,
                    "repeated; only the first one (line " + std::to_string(line_of(first)) + ") is read");
                continue;
            }
            auto declared = keys.declared.find(key);
            if (declared != keys.declared.end()) {
                int buffer = declared->second == XMLLIB_TYPE_INT ? 4 : daemon_buffer(key);
                Read r = read_key(key, declared->second, buffer);
                if (r.result != XMLLIB_OK) {
                    auto fallback = daemon_defaults.find(key);
                    report.error(line_of(child), key,
                                 read_failure(r, direct_text(child), buffer,
                                              fallback == daemon_defaults.end() ? "" : fallback->second));
                }
                values.emplace(key, std::make_pair(std::move(r), line_of(child)));
            } else if (keys.inner.count(key) != 0) {
                pending.emplace_back(child, key);
            } else {
                std::string message = "unknown key: policy " + in_quotes(keys.name) + " declares no such key";
                std::string best;
                std::size_t best_distance = 4;  // suggest only near misses
                for (const auto &[candidate, type] : keys.declared) {
                    std::size_t d = edit_distance(key, candidate);
                    if (d < best_distance) {
                        best_distance = d;
                        best = candidate;
                    }
                }
                if (!best.empty()) {
                    message += "; did you mean " + best + "?";
                }
                report.error(line_of(child), key, message + " (nothing reads it)");
            }
        }
    }
}

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

// A failed load, in the report's own "FILE:LINE: error: ..." shape when the library's
// text starts with the file name and a position.
void report_load_failure(Report &report, const std::string &file, const std::string &why) {
    std::string rest = why;
    int line = 0;
    if (rest.rfind(file + ":", 0) == 0) {
        rest = rest.substr(file.size() + 1);
        std::size_t colon = rest.find(':');
        if (colon != std::string::npos && colon > 0 && rest.find_first_not_of("0123456789") == colon) {
            line = std::stoi(rest.substr(0, colon));
            rest = rest.substr(colon + 1);
            std::size_t column_end = rest.find(':');
            if (column_end != std::string::npos && column_end > 0 &&
                rest.find_first_not_of("0123456789") == column_end) {
                rest = rest.substr(column_end + 1);
            }
        }
        rest.erase(0, rest.find_first_not_of(' '));
    }
    report.error(line, "", rest);
}

int check_config(const std::string &file, int ratio, bool strict, bool json) {
    ::setenv("TAVIK_CONFIG", file.c_str(), 1);
    if (xmllib_init("tavikctl") != XMLLIB_OK) {
        std::fprintf(stderr, "tavikctl: check-config: %s\n", xmllib_last_error());
        return 1;
    }
    struct Term {
        ~Term() { xmllib_term(); }
    } term;

    Report report(file);
    if (xmllib_load_config() != XMLLIB_OK) {
        report_load_failure(report, file, xmllib_last_error());
        return report.print(strict, json);
    }
    std::string text = read_config_text(file);
    LineIndex lines(text);
    pugi::xml_document doc;
    if (!doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8)) {
        throw CheckFailure(file + ": changed while it was checked");
    }
    pugi::xml_node root = doc.document_element();

    std::set<std::string> known_roots = {"heartbeat", "server"};
    std::map<std::string, std::pair<Read, int>, std::less<>> values;
    for (const char *policy : daemon_policies) {
        PolicyKeys keys = list_policy(policy);
        known_roots.insert(keys.root);
        check_policy(report, lines, root, keys, values);
        xmllib_unload_policy(policy);
    }
    check_values(report, values);
    for (pugi::xml_node child : root.children()) {
        if (child.type() == pugi::node_element && known_roots.count(child.name()) == 0) {
            report.warning(lines.line_of(child.offset_debug()), "/root/" + std::string(child.name()),
                           "unknown element: nothing reads it");
        }
    }
    ClusterLayout layout = load_cluster_layout(file);
    check_servers(report, layout);
    check_resources(report, layout);
    if (layout.heartbeat_sections > 1) {
        report.warning(0, "/root/heartbeat", "more than one <heartbeat>: only the first one is read");
    }
    for (const LimitFinding &f : cluster_limit_findings(layout)) {
        f.error ? report.error(f.line, f.key, f.message) : report.warning(f.line, f.key, f.message);
    }
    check_windows(report, values, layout, ratio);
    return report.print(strict, json);
}

CommandRegistrar check_config_command([](CLI::App &app) {
    auto *cmd = app.add_subcommand("check-config",
                                   "check a cluster configuration against the policies and the layout");
    auto file = std::make_shared<std::string>();
    auto policy_dir = std::make_shared<std::string>();
    auto ratio = std::make_shared<int>(1);
    auto strict = std::make_shared<bool>(false);
    auto json = std::make_shared<bool>(false);
    cmd->add_flag("--strict", *strict, "warnings fail the check too (exit status 2)");
    cmd->add_flag("--json", *json, "print the findings as one JSON object");
    cmd->add_option("file", *file, "configuration file (default: $TAVIK_CONFIG or /etc/tavik/cluster.xml)");
    cmd->add_option("--policy-dir", *policy_dir,
                    "policy directory (default: $TAVIK_POLICY_DIR or the installed one)");
    cmd->add_option("--ratio", *ratio,
                    "the cluster's time-out multiplier for the detection windows (default: 1)")
        ->check(CLI::Range(1, 2147483647));
    cmd->footer(
        "Exit status: 0 clean or warnings only (with --strict: clean), 2 errors found, 1 the check could "
        "not run.");
    cmd->callback([file, policy_dir, ratio, strict, json] {
        std::string path = *file;
        if (path.empty()) {
            const char *env = std::getenv("TAVIK_CONFIG");
            path = env != nullptr && *env != '\0' ? env : "/etc/tavik/cluster.xml";
        }
        if (!policy_dir->empty()) {
            ::setenv("TAVIK_POLICY_DIR", policy_dir->c_str(), 1);
        }
        try {
            exit_code() = check_config(path, *ratio, *strict, *json);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "tavikctl: check-config: %s\n", e.what());
            exit_code() = 1;
        }
    });
});

}  // namespace
}  // namespace tavikctl
