// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl check-config [FILE]`: checks a cluster configuration the way the daemon
// will read it. Values are read through libzvrxml itself, with the daemon's types and
// buffer sizes, so a value this command accepts is a value the daemon gets; the file is
// also walked with pugixml to find what nothing reads (typos) and to give line numbers.
// Prints one line per problem, "FILE:LINE: error|warning: KEY: message", then a summary;
// exits 0 without errors, 2 with errors, 1 when the check itself cannot run.
// Single-threaded, like the rest of tavikctl; it sets TAVIK_CONFIG (and
// TAVIK_POLICY_DIR with --policy-dir) in its own environment for the library.
#include "check_config.h"

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
#include "check_standard.h"
#include "cluster_layout.h"
#include "command.h"
#include "detection.h"
#include "rules/params.h"
#include "zvrxml.h"

namespace tavikctl {
namespace {

using namespace checkcfg;

// The policies the daemon loads, in the order it loads them.
constexpr const char *daemon_policies[] = {"tavik", "all", "nm"};

// Buffer the daemon passes for a string key; integers always get 4 bytes.
int daemon_buffer(std::string_view path) {
    if (path == rules::kMlockPath) {
        return rules::kMlockSize;
    }
    return 1024;
}

// The default the daemon takes when a key cannot be read, for the messages; empty for a
// key it does not read.
std::string daemon_default(std::string_view path) {
    if (path == rules::kMlockPath) {
        return "no memory lock";
    }
    const rules::Param *p = rules::find_param(path);
    return p != nullptr ? std::to_string(p->defval) : std::string();
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
    int schedule = number("/root/tavik/sched/schedule").value_or(rules::param(rules::Key::schedule).defval);
    if (auto v = number("/root/tavik/sched/schedule"); v && *v != 0 && *v != 1 && *v != 2) {
        report.warning(line("/root/tavik/sched/schedule"), "/root/tavik/sched/schedule",
                       std::to_string(*v) +
                           " is neither 0 (keep), 1 (SCHED_FIFO) nor 2 (SCHED_RR); the system will refuse it "
                           "and the inherited policy stays");
    }
    if (auto v = number("/root/tavik/sched/priority"); v) {
        if (int pri = rules::rtpriority(schedule, *v); pri != *v) {
            corrected("/root/tavik/sched/priority", *v, std::to_string(pri));
        } else if (schedule == 0 && *v != 0) {
            report.warning(line("/root/tavik/sched/priority"), "/root/tavik/sched/priority",
                           "has no effect while /root/tavik/sched/schedule is 0");
        }
    }
    for (const rules::Param &p : rules::params()) {
        if (auto v = number(p.path); v) {
            if (rules::Corrected c = rules::correct(p, *v); c.value != *v) {
                std::string to = std::to_string(c.value);
                corrected(p.path, *v,
                          c.value == 0 && p.zero_means != nullptr ? to + " (" + p.zero_means + ")" : to);
            }
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
                    report.error(line_of(child), key,
                                 read_failure(r, direct_text(child), buffer, daemon_default(key)));
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

int check_config(const std::string &file, int ratio, const std::string &bmc_conf, bool strict, bool json) {
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
    if (!bmc_conf.empty()) {
        for (const AccessFinding &f : check_bmc_access(
                 bmc_conf, compute_windows(read_timing_settings(), ratio, 100), layout.servers)) {
            if (f.note) {
                report.note(f.message);
            } else {
                f.error ? report.error(0, f.key, f.message) : report.warning(0, f.key, f.message);
            }
        }
    }
    return report.print(strict, json);
}

CommandRegistrar check_config_command([](CLI::App &app) {
    auto *cmd = app.add_subcommand("check-config",
                                   "check a cluster configuration against the policies and the layout");
    auto file = std::make_shared<std::string>();
    auto policy_dir = std::make_shared<std::string>();
    auto ratio = std::make_shared<int>(1);
    auto bmc_conf = std::make_shared<std::string>();
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
    cmd->add_option("--bmc-conf", *bmc_conf, "also check this BMC access file and its driver's limits");
    cmd->footer(
        "Exit status: 0 clean or warnings only (with --strict: clean), 2 errors found, 1 the check could "
        "not run.");
    cmd->callback([file, policy_dir, ratio, bmc_conf, strict, json] {
        std::string path = *file;
        if (path.empty()) {
            const char *env = std::getenv("TAVIK_CONFIG");
            path = env != nullptr && *env != '\0' ? env : "/etc/tavik/cluster.xml";
        }
        if (!policy_dir->empty()) {
            ::setenv("TAVIK_POLICY_DIR", policy_dir->c_str(), 1);
        }
        try {
            exit_code() = check_config(path, *ratio, *bmc_conf, *strict, *json);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "tavikctl: check-config: %s\n", e.what());
            exit_code() = 1;
        }
    });
});

}  // namespace
}  // namespace tavikctl
