// SPDX-License-Identifier: GPL-3.0-or-later
// Configuration policies. A policy is a file NAME.xml in the policy directory:
//
//   <policy name="tavik" root="/root/tavik">
//     <key path="/root/tavik/nice" type="int">nice value of the daemon</key>
//   </policy>
//
// It declares every key of one key root (the element right below <root>) with its
// type, "int" or "string", and a one-line description. The roots "heartbeat" and
// "server" belong to the cluster layout and can be no policy's root.
// Plain values; a loaded Policy is immutable and may be read from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zvrxml {

struct PolicyKey {
    std::string path;
    int type = 0;  // XMLLIB_TYPE_INT or XMLLIB_TYPE_STRING
    std::string description;
};

struct Policy {
    std::string name;
    std::string root;  // element name below <root>, e.g. "cluster" for "/root/cluster"
    std::vector<PolicyKey> keys;
    std::map<std::string, std::size_t, std::less<>> index;  // path -> position in keys

    const PolicyKey *find(std::string_view path) const;
};

// Whether a policy name can name a file in the policy directory: 1 to 64 letters,
// digits, '_' or '-' (so never "..", never a path).
bool valid_policy_name(std::string_view name);

// Whether the element right below <root> is the cluster layout's, readable without a
// policy.
bool is_layout_root(std::string_view element);

enum class PolicyStatus { ok, unknown, bad };

// Loads dir/NAME.xml. unknown when there is no such file; bad when it cannot be read or
// is not a valid policy for that name; why then names the file and the fault.
PolicyStatus load_policy_file(const std::string &dir, const std::string &name, Policy &policy,
                              std::string &why);

}  // namespace zvrxml
