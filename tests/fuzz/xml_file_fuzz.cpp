// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: whole configuration files. Each input is written as the configuration
// file, loaded with xmllib_load_config, read the way the daemon reads it (every key of
// the three policies with the daemon's types and buffers, then each resource's device id
// and each server's address for it, with names cut as the daemon's table cuts them) and
// unloaded; tavikctl's load_cluster_layout reads the same file. What must hold:
//  - loading gives success, "malformed" or "DOCTYPE", and a refused file leaves nothing
//    loaded;
//  - every read of a loaded file gives success or a fault of the value (missing, not a
//    leaf, not an integer, out of range, too long), and a string read is NUL-terminated
//    with *size counting exactly it;
//  - tavikctl reads every file the library loads, and where both read the same value
//    (the first server or resource of a name) they agree on it;
//  - tavikctl's integer parser and the library's agree on every text the file holds.
// Single-threaded.
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "cluster_layout.h"
#include "fuzz_check.h"
#include "key_path.h"
#include "zvrxml.h"

namespace {

std::string config_path;

// The daemon's limits: table record sizes and how far it walks.
constexpr std::size_t kNodeNameMax = 255;
constexpr std::size_t kResourceNameMax = 31;
constexpr int kAddressBuffer = 46;
constexpr std::size_t kMaxServers = 32;
constexpr std::size_t kMaxDevices = 8;

struct DaemonKey {
    const char *path;
    int type;
    int buffer;
};

constexpr DaemonKey kDaemonKeys[] = {
    {"/root/tavik/log/level", XMLLIB_TYPE_INT, 4},
    {"/root/tavik/log/size", XMLLIB_TYPE_INT, 4},
    {"/root/tavik/nice", XMLLIB_TYPE_INT, 4},
    {"/root/tavik/mlock", XMLLIB_TYPE_STRING, 16},
    {"/root/tavik/sched/schedule", XMLLIB_TYPE_INT, 4},
    {"/root/tavik/sched/priority", XMLLIB_TYPE_INT, 4},
    {"/root/tavik/watchth", XMLLIB_TYPE_INT, 4},
    {"/root/all/num/server", XMLLIB_TYPE_INT, 4},
    {"/root/all/num/hbr", XMLLIB_TYPE_INT, 4},
    {"/root/cluster/heartbeat/timeout", XMLLIB_TYPE_INT, 4},
    {"/root/cluster/heartbeat/interval", XMLLIB_TYPE_INT, 4},
    {"/root/cluster/delaywarn/heartbeat", XMLLIB_TYPE_INT, 4},
    {"/root/tavik/thread/stacksize", XMLLIB_TYPE_INT, 4},
};

bool value_fault(int rc) {
    return rc == XMLLIB_E_NO_KEY || rc == XMLLIB_E_NOT_LEAF || rc == XMLLIB_E_NOT_INT ||
           rc == XMLLIB_E_INT_RANGE || rc == XMLLIB_E_TOO_LONG;
}

struct Value {
    int rc = XMLLIB_OK;
    int number = 0;
    std::string text;
};

// One read with an exactly sized heap buffer, checked against the library's promises.
// A path built from a name that holds '/' may be no key path at all.
Value read_key(const std::string &path, int type, int buffer, bool from_slashed_name = false) {
    std::unique_ptr<char[]> buf(new char[static_cast<std::size_t>(buffer)]);
    std::memset(buf.get(), 0x5a, static_cast<std::size_t>(buffer));
    int size = buffer;
    Value v;
    v.rc = xmllib_get_value(path.c_str(), type, buf.get(), &size);
    FUZZ_CHECK(v.rc == XMLLIB_OK || value_fault(v.rc) || (from_slashed_name && v.rc == XMLLIB_E_PATH),
               "%s: result %d (%s) on a loaded configuration", path.c_str(), v.rc, xmllib_last_error());
    if (v.rc != XMLLIB_OK) {
        FUZZ_CHECK(size == buffer, "%s: failure %d changed the size to %d", path.c_str(), v.rc, size);
        return v;
    }
    if (type == XMLLIB_TYPE_INT) {
        FUZZ_CHECK(size == 4, "%s: an integer read set the size to %d", path.c_str(), size);
        std::memcpy(&v.number, buf.get(), sizeof v.number);
    } else {
        FUZZ_CHECK(size >= 1 && size <= buffer && buf[size - 1] == '\0' &&
                       std::strlen(buf.get()) == static_cast<std::size_t>(size - 1),
                   "%s: a string read of size %d into %d bytes is not one NUL-terminated string",
                   path.c_str(), size, buffer);
        v.text = buf.get();
    }
    return v;
}

// Where tavikctl's reading and the library's must agree on one integer element.
void check_same_int(const std::string &path, const Value &lib, const std::optional<std::string> &text,
                    const std::optional<int> &number) {
    switch (lib.rc) {
        case XMLLIB_OK:
            FUZZ_CHECK(number && *number == lib.number, "%s: the library reads %d, tavikctl %s", path.c_str(),
                       lib.number, number ? std::to_string(*number).c_str() : "no integer");
            break;
        case XMLLIB_E_NO_KEY:
            FUZZ_CHECK(!text, "%s: the library finds no element, tavikctl reads \"%s\"", path.c_str(),
                       text->c_str());
            break;
        case XMLLIB_E_NOT_INT:
        case XMLLIB_E_INT_RANGE:
            FUZZ_CHECK(!number, "%s: the library refuses the value (%d), tavikctl reads %d", path.c_str(),
                       lib.rc, *number);
            break;
        default:
            break;  // an element holding elements: tavikctl keeps its text for the validator
    }
}

// Both integer parsers on one text: they are meant to accept exactly the same.
void check_int_parsers(const std::string &text) {
    int value = 0;
    zvrxml::IntStatus lib = zvrxml::parse_int(text, value);
    std::optional<int> ctl = tavikctl::parse_config_int(text);
    FUZZ_CHECK((lib == zvrxml::IntStatus::ok) == ctl.has_value() && (!ctl || *ctl == value),
               "\"%s\": the library's parser says %d (%d), tavikctl's %s", text.c_str(),
               static_cast<int>(lib), value, ctl ? std::to_string(*ctl).c_str() : "no integer");
}

std::string cut(const std::string &name, std::size_t max) {
    return name.substr(0, max);
}

void read_layout_keys(const tavikctl::ClusterLayout &layout) {
    std::set<std::string> seen_servers;
    std::size_t servers = 0;
    for (const tavikctl::ServerEntry &server : layout.servers) {
        if (!server.has_name || ++servers > kMaxServers) {
            continue;
        }
        if (server.name.find('/') == std::string::npos && seen_servers.insert(server.name).second) {
            std::string path = "/root/server@" + server.name + "/priority";
            check_same_int(path, read_key(path, XMLLIB_TYPE_INT, 4), server.priority_text, server.priority);
        }
    }
    std::set<std::string> seen_resources;
    std::set<int> devices;
    for (const tavikctl::ResourceEntry &rsc : layout.resources) {
        if (rsc.type != "tavik" || !rsc.has_name) {
            continue;
        }
        const std::string name = cut(rsc.name, kResourceNameMax);
        const std::string path = "/root/heartbeat/tavik@" + name + "/device";
        Value device = read_key(path, XMLLIB_TYPE_INT, 4, name.find('/') != std::string::npos);
        if (rsc.section == 0 && name == rsc.name && name.find('/') == std::string::npos &&
            seen_resources.insert(name).second) {
            check_same_int(path, device, rsc.device_text, rsc.device);
        }
        if (device.rc == XMLLIB_OK && device.number >= 0 && devices.size() < kMaxDevices) {
            devices.insert(device.number);
        }
    }
    for (int id : devices) {
        servers = 0;
        for (const tavikctl::ServerEntry &server : layout.servers) {
            if (!server.has_name || ++servers > kMaxServers) {
                continue;
            }
            const std::string name = cut(server.name, kNodeNameMax);
            read_key("/root/server@" + name + "/device@" + std::to_string(id) + "/info", XMLLIB_TYPE_STRING,
                     kAddressBuffer, name.find('/') != std::string::npos);
        }
    }
}

void check_layout_parsers(const tavikctl::ClusterLayout &layout) {
    for (const tavikctl::ServerEntry &server : layout.servers) {
        if (server.priority_text) {
            check_int_parsers(*server.priority_text);
        }
        for (const tavikctl::DeviceEntry &device : server.devices) {
            check_int_parsers(device.id_text);
        }
    }
    for (const tavikctl::ResourceEntry &rsc : layout.resources) {
        for (const auto &text : {rsc.priority_text, rsc.device_text}) {
            if (text) {
                check_int_parsers(*text);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    config_path = fuzz::scratch_dir() + "/cluster.xml";
    ::setenv("TAVIK_CONFIG", config_path.c_str(), 1);
    ::setenv("TAVIK_POLICY_DIR", TAVIK_SOURCE_DIR "/policy", 1);
    FUZZ_CHECK(xmllib_init("fuzz") == XMLLIB_OK, "xmllib_init: %s", xmllib_last_error());
    // The policies stay loaded: they gate reads, not loads, and reading them once per
    // input would only slow the run.
    for (const char *policy : {"tavik", "all", "nm"}) {
        FUZZ_CHECK(xmllib_load_policy(policy) == XMLLIB_OK, "policy %s: %s", policy, xmllib_last_error());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::write_file(config_path, std::string_view(reinterpret_cast<const char *>(data), size));

    const int rc = xmllib_load_config();
    FUZZ_CHECK(rc == XMLLIB_OK || rc == XMLLIB_E_CONFIG_MALFORMED || rc == XMLLIB_E_CONFIG_DOCTYPE ||
                   (rc == XMLLIB_E_CONFIG_TOO_LARGE && size > XMLLIB_MAX_FILE_SIZE),
               "loading gave %d (%s)", rc, xmllib_last_error());
    if (rc != XMLLIB_OK) {
        FUZZ_CHECK(*xmllib_last_error() != '\0', "a refused file (%d) without a text", rc);
    }

    std::optional<tavikctl::ClusterLayout> layout;
    std::string layout_error;
    try {
        layout = tavikctl::load_cluster_layout(config_path);
    } catch (const std::runtime_error &e) {
        layout_error = e.what();  // any other exception escapes and counts as a crash
    }
    if (layout) {
        check_layout_parsers(*layout);
    }

    if (rc != XMLLIB_OK) {
        int unload = xmllib_unload_config();
        FUZZ_CHECK(unload == XMLLIB_E_NOT_LOADED, "a refused file left a configuration loaded (%d)", unload);
        return 0;
    }
    FUZZ_CHECK(layout.has_value(), "the library loads a file that tavikctl refuses: %s",
               layout_error.c_str());
    for (const DaemonKey &key : kDaemonKeys) {
        read_key(key.path, key.type, key.buffer);
    }
    read_layout_keys(*layout);
    FUZZ_CHECK(xmllib_unload_config() == XMLLIB_OK, "unloading: %s", xmllib_last_error());
    return 0;
}
