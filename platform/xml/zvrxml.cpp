// SPDX-License-Identifier: GPL-3.0-or-later
// libzvrxml: the cluster configuration library behind zvrxml.h. One process-wide
// state (the caller's name, the policy directory, the loaded document, the loaded
// policies) guarded by one mutex, so that any entry may be called from any thread;
// the tick clock keeps no state at all, so xmllib_times never waits for that mutex
// while another thread reads keys. The text of the last failure is kept per thread.
// Nothing throws across the C boundary: each entry maps any exception to
// XMLLIB_E_INTERNAL.
#include "zvrxml.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <pugixml.hpp>
#include <string>

#include "file_trust.h"
#include "key_path.h"
#include "policy.h"
#include "xml_file.h"

#ifndef TAVIK_POLICY_DEFAULT_DIR
#error "TAVIK_POLICY_DEFAULT_DIR must name the installed policy directory"
#endif

namespace {

using namespace zvrxml;

constexpr const char *default_config = "/etc/tavik/cluster.xml";

struct State {
    std::mutex mutex;
    bool initialised = false;
    std::string caller;
    std::string policy_dir;
    std::unique_ptr<pugi::xml_document> config;
    std::unique_ptr<ElementIndex> index;  // of config; replaced and dropped with it
    std::string config_path;
    std::map<std::string, Policy, std::less<>> policies;
};

State &state() {
    static State s;
    return s;
}

thread_local std::string last_error_text;

__attribute__((format(printf, 2, 3))) int fail(int code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    try {
        last_error_text = buf;
    } catch (...) {
        // Keeping the code matters more than keeping its text.
    }
    return code;
}

int fail_text(int code, const std::string &text) {
    return fail(code, "%s", text.c_str());
}

const char *env_or(const char *name, const char *fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// The policy whose root covers the first part of a key path, if one is loaded.
const Policy *policy_for_root(const State &s, std::string_view root) {
    for (const auto &[name, policy] : s.policies) {
        if (policy.root == root) {
            return &policy;
        }
    }
    return nullptr;
}

int get_value(State &s, const char *path, int type, void *buf, int *size) {
    if (path == nullptr || buf == nullptr || size == nullptr) {
        return fail(XMLLIB_E_ARGUMENT, "xmllib_get_value: null %s",
                    path == nullptr  ? "path"
                    : buf == nullptr ? "buffer"
                                     : "size");
    }
    if (type != XMLLIB_TYPE_INT && type != XMLLIB_TYPE_STRING) {
        return fail(XMLLIB_E_ARGUMENT, "%s: unknown value type %d (0 string, 1 integer)", path, type);
    }
    if (*size < (type == XMLLIB_TYPE_INT ? static_cast<int>(sizeof(int)) : 1)) {
        return fail(XMLLIB_E_ARGUMENT, "%s: buffer of %d bytes is too small", path, *size);
    }
    if (!s.config) {
        return fail(XMLLIB_E_NOT_LOADED, "%s: no configuration is loaded", path);
    }
    auto parts = parse_key_path(path);
    if (!parts) {
        return fail(XMLLIB_E_PATH, "\"%s\" is not a key path (/root/PART/..., no empty part)", path);
    }
    const std::string &root = parts->front().element;
    if (!is_layout_root(root)) {
        const Policy *policy = policy_for_root(s, root);
        if (policy == nullptr) {
            return fail(XMLLIB_E_POLICY_NOT_LOADED, "%s: no loaded policy covers /root/%s", path,
                        root.c_str());
        }
        const PolicyKey *key = policy->find(path);
        if (key == nullptr) {
            return fail(XMLLIB_E_UNDECLARED, "%s: policy \"%s\" declares no such key", path,
                        policy->name.c_str());
        }
        if (key->type != type) {
            return fail(XMLLIB_E_TYPE_MISMATCH, "%s: policy \"%s\" declares it a%s, not a%s", path,
                        policy->name.c_str(), key->type == XMLLIB_TYPE_INT ? "n integer" : " string",
                        type == XMLLIB_TYPE_INT ? "n integer" : " string");
        }
    }
    pugi::xml_node node = s.index->resolve(*parts);
    if (!node) {
        return fail(XMLLIB_E_NO_KEY, "%s: no such key in %s", path, s.config_path.c_str());
    }
    if (has_element_child(node)) {
        return fail(XMLLIB_E_NOT_LEAF, "%s: holds elements, not a value", path);
    }
    std::string text = value_text(node);
    if (type == XMLLIB_TYPE_INT) {
        int value = 0;
        switch (parse_int(text, value)) {
            case IntStatus::ok:
                break;
            case IntStatus::not_int:
                return fail(XMLLIB_E_NOT_INT, "%s: \"%s\" is not an integer", path, text.c_str());
            case IntStatus::out_of_range:
                return fail(XMLLIB_E_INT_RANGE, "%s: %s does not fit 32 bits", path, text.c_str());
        }
        std::memcpy(buf, &value, sizeof value);
        *size = static_cast<int>(sizeof value);
        return XMLLIB_OK;
    }
    if (text.size() >= static_cast<std::size_t>(*size)) {
        return fail(XMLLIB_E_TOO_LONG, "%s: %zu characters do not fit a buffer of %d bytes", path,
                    text.size(), *size);
    }
    std::memcpy(buf, text.c_str(), text.size() + 1);
    *size = static_cast<int>(text.size() + 1);
    return XMLLIB_OK;
}

int load_config(State &s) {
    std::string path = env_or("TAVIK_CONFIG", default_config);
    std::string text;
    std::string why;
    switch (read_file_limited(path, XMLLIB_MAX_FILE_SIZE, text, why)) {
        case FileStatus::ok:
            break;
        case FileStatus::missing:
            return fail_text(XMLLIB_E_CONFIG_MISSING, why);
        case FileStatus::too_large:
            return fail_text(XMLLIB_E_CONFIG_TOO_LARGE, why);
        case FileStatus::untrusted:
            return fail_text(XMLLIB_E_UNTRUSTED, why);
        default:
            return fail_text(XMLLIB_E_CONFIG_UNREADABLE, why);
    }
    // Policies decide which keys the daemon reads; they are checked with the file, so
    // that a start fails here rather than at the first policy load.
    if (why = untrusted_policy_dir(s.policy_dir); !why.empty()) {
        return fail_text(XMLLIB_E_UNTRUSTED, why);
    }
    auto doc = std::make_unique<pugi::xml_document>();
    switch (parse_document(path, text, *doc, why)) {
        case FileStatus::ok:
            break;
        case FileStatus::doctype:
            return fail_text(XMLLIB_E_CONFIG_DOCTYPE, why);
        default:
            return fail_text(XMLLIB_E_CONFIG_MALFORMED, why);
    }
    if (std::string_view(doc->document_element().name()) != "root") {
        return fail(XMLLIB_E_CONFIG_MALFORMED, "%s: the document element is <%s>, not <root>", path.c_str(),
                    doc->document_element().name());
    }
    auto index = std::make_unique<ElementIndex>(doc->document_element());
    // Swap only now: a failed reload leaves the previous configuration in place.
    s.index = std::move(index);
    s.config = std::move(doc);
    s.config_path = std::move(path);
    return XMLLIB_OK;
}

int load_policy(State &s, const char *name) {
    if (name == nullptr || !valid_policy_name(name)) {
        return fail(XMLLIB_E_ARGUMENT, "\"%s\" is not a policy name (letters, digits, '_', '-')",
                    name == nullptr ? "(null)" : name);
    }
    if (s.policies.count(std::string_view(name)) != 0) {
        return fail(XMLLIB_E_POLICY_LOADED, "policy \"%s\" is already loaded", name);
    }
    Policy policy;
    std::string why;
    switch (load_policy_file(s.policy_dir, name, policy, why)) {
        case PolicyStatus::ok:
            break;
        case PolicyStatus::unknown:
            return fail_text(XMLLIB_E_POLICY_UNKNOWN, why);
        case PolicyStatus::bad:
            return fail_text(XMLLIB_E_POLICY_BAD, why);
    }
    if (const Policy *other = policy_for_root(s, policy.root)) {
        return fail(XMLLIB_E_POLICY_LOADED,
                    "policy \"%s\": its root /root/%s is already covered by policy \"%s\"", name,
                    policy.root.c_str(), other->name.c_str());
    }
    s.policies.emplace(name, std::move(policy));
    return XMLLIB_OK;
}

int policy_key(State &s, const char *policy, int index, char *path, int *path_size, int *type) {
    if (policy == nullptr || path == nullptr || path_size == nullptr || type == nullptr || *path_size < 1) {
        return fail(XMLLIB_E_ARGUMENT, "xmllib_policy_key: null argument or empty buffer");
    }
    auto it = s.policies.find(std::string_view(policy));
    if (it == s.policies.end()) {
        return fail(XMLLIB_E_POLICY_NOT_LOADED, "policy \"%s\" is not loaded", policy);
    }
    const auto &keys = it->second.keys;
    if (index < 0 || static_cast<std::size_t>(index) >= keys.size()) {
        return fail(XMLLIB_E_NO_KEY, "policy \"%s\" has no key %d (it declares %zu)", policy, index,
                    keys.size());
    }
    const PolicyKey &key = keys[static_cast<std::size_t>(index)];
    if (key.path.size() >= static_cast<std::size_t>(*path_size)) {
        return fail(XMLLIB_E_TOO_LONG, "%s: does not fit a buffer of %d bytes", key.path.c_str(), *path_size);
    }
    std::memcpy(path, key.path.c_str(), key.path.size() + 1);
    *path_size = static_cast<int>(key.path.size() + 1);
    *type = key.type;
    return XMLLIB_OK;
}

// Runs one entry under the state lock, after the initialisation check, and turns any
// exception into a result.
template <typename F>
int locked(const char *what, F &&body) noexcept {
    try {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.initialised) {
            return fail(XMLLIB_E_NOT_INIT, "%s: the configuration library is not initialised", what);
        }
        return body(s);
    } catch (const std::bad_alloc &) {
        return fail(XMLLIB_E_INTERNAL, "%s: out of memory", what);
    } catch (...) {
        return fail(XMLLIB_E_INTERNAL, "%s: unexpected failure", what);
    }
}

}  // namespace

namespace {

int init(const char *name) noexcept {
    try {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (name == nullptr) {
            return fail(XMLLIB_E_ARGUMENT, "xmllib_init: null caller name");
        }
        if (s.initialised) {
            return fail(XMLLIB_E_ALREADY_INIT, "xmllib_init(%s): already initialised by %s", name,
                        s.caller.c_str());
        }
        std::string dir = env_or("TAVIK_POLICY_DIR", TAVIK_POLICY_DEFAULT_DIR);
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0) {
            return fail(XMLLIB_E_POLICY_DIR, "policy directory %s: %s", dir.c_str(), std::strerror(errno));
        }
        if (!S_ISDIR(st.st_mode) || ::access(dir.c_str(), R_OK | X_OK) != 0) {
            return fail(XMLLIB_E_POLICY_DIR, "policy directory %s: not a readable directory", dir.c_str());
        }
        s.caller = name;
        s.policy_dir = std::move(dir);
        s.initialised = true;
        return XMLLIB_OK;
    } catch (...) {
        return fail(XMLLIB_E_INTERNAL, "xmllib_init: unexpected failure");
    }
}

long ticks_per_second() noexcept {
    static const long rate = [] {
        long t = ::sysconf(_SC_CLK_TCK);
        return t > 0 ? t : 100L;
    }();
    return rate;
}

}  // namespace

// The header's declarations are plain C, so the definitions cannot carry noexcept; each
// body is a noexcept function (locked() or init()) that catches everything itself.
extern "C" {

int xmllib_init(const char *name) {
    return init(name);
}

int xmllib_load_config(void) {
    return locked("xmllib_load_config", [](State &s) { return load_config(s); });
}

int xmllib_load_policy(const char *name) {
    return locked("xmllib_load_policy", [name](State &s) { return load_policy(s, name); });
}

int xmllib_unload_policy(const char *name) {
    return locked("xmllib_unload_policy", [name](State &s) {
        if (name == nullptr) {
            return fail(XMLLIB_E_ARGUMENT, "xmllib_unload_policy: null policy name");
        }
        auto it = s.policies.find(std::string_view(name));
        if (it == s.policies.end()) {
            return fail(XMLLIB_E_POLICY_NOT_LOADED, "policy \"%s\" is not loaded", name);
        }
        s.policies.erase(it);
        return XMLLIB_OK;
    });
}

int xmllib_get_value(const char *path, int type, void *buf, int *size) {
    return locked("xmllib_get_value", [&](State &s) { return get_value(s, path, type, buf, size); });
}

int xmllib_unload_config(void) {
    return locked("xmllib_unload_config", [](State &s) {
        if (!s.config) {
            return fail(XMLLIB_E_NOT_LOADED, "xmllib_unload_config: no configuration is loaded");
        }
        s.index.reset();
        s.config.reset();
        s.config_path.clear();
        return XMLLIB_OK;
    });
}

int xmllib_term(void) {
    return locked("xmllib_term", [](State &s) {
        s.index.reset();
        s.config.reset();
        s.config_path.clear();
        s.policies.clear();
        s.caller.clear();
        s.policy_dir.clear();
        s.initialised = false;
        return XMLLIB_OK;
    });
}

int xmllib_policy_key(const char *policy, int index, char *path, int *path_size, int *type) {
    return locked("xmllib_policy_key",
                  [&](State &s) { return policy_key(s, policy, index, path, path_size, type); });
}

clock_t xmllib_times(int) {
    const long rate = ticks_per_second();
    struct timespec now {};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return static_cast<clock_t>(-1);
    }
    return static_cast<clock_t>(now.tv_sec * rate + now.tv_nsec * rate / 1000000000L);
}

const char *xmllib_last_error(void) {
    return last_error_text.c_str();
}

}  // extern "C"
