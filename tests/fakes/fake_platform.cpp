// SPDX-License-Identifier: GPL-3.0-or-later
// Kept whole past 500 lines: the fakes of all four libraries share one call record,
// one log record and one scenario, which a test reads across libraries.
// Fake configuration, log, IPC and BMC libraries with the C ABI of platform/include.
// See fakes.h for what a test controls.
#include <arpa/inet.h>
#include <unistd.h>
#include <zvrbmc.h>
#include <zvripc.h>
#include <zvripc_admin.h>
#include <zvrlog.h>
#include <zvrxml.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <variant>

#include "fakes.h"
#include "tavik/thctl.h"

namespace fake {
namespace {

struct Failure {
    std::string name;
    std::string args;
    int nth;
    int result;
    uint8_t cc;
};

struct Resource {
    std::string type;
    std::string name;
    int priority;
};

struct State {
    std::vector<Call> calls;
    std::map<std::string, int> call_counts;   // per name, all arguments
    std::map<std::string, int> match_counts;  // per failure index
    std::vector<Failure> failures;
    std::map<std::string, std::variant<int, std::string>> config;
    std::set<std::string> policies;
    bool xml_ready = false;
    bool config_loaded = false;
    std::vector<LogRecord> logs;
    std::vector<Event> events;
    int log_threshold = 0;  // the channel's level as log_enabled reports it; 0: every level
    std::vector<std::pair<std::string, int>> nodes;
    std::vector<Resource> resources;
    std::map<std::pair<std::string, int>, int> states;
    std::map<std::string, int> statuses;
    int action = 0;
    int ratio = 1;
    int period = 0;
    int waitstat = 0;
    bool downnotify = false;
    int statchanges = 0;
    std::map<std::string, int> enum_calls;
    std::map<std::pair<std::string, int>, std::string> enum_overrides;
    std::map<uint32_t, std::pair<uint8_t, uint8_t>> bmc_answers;
    std::function<void(int, uint8_t, BMC_INFO_GET *)> bmc_script;
    std::vector<ProgrammedBlock> programmed;
    std::map<uint8_t, std::array<BMC_INFO_SET, BMC_BLOCK_RECORDS>> current_blocks;
    int polls = 0;
    std::map<std::string, std::string> gates;  // call name -> file that opens it
    std::map<std::string, std::function<void()>> call_hooks;
    std::FILE *trace = nullptr;
    bool scenario_read = false;
};

std::recursive_mutex mutex;

State &state_locked() {
    static State s;
    return s;
}

void trace_line(State &s, const std::string &line) {
    if (s.trace != nullptr) {
        std::fprintf(s.trace, "%s\n", line.c_str());
        std::fflush(s.trace);
    }
}

// A daemon binary linked with the fakes takes its scenario from the environment the
// first time any fake is used.
void read_environment_locked(State &s) {
    if (s.scenario_read) {
        return;
    }
    s.scenario_read = true;
    if (const char *trace = std::getenv("TAVIK_FAKE_TRACE"); trace != nullptr) {
        s.trace = std::fopen(trace, "a");
    }
    if (const char *path = std::getenv("TAVIK_FAKE_SCENARIO"); path != nullptr) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        load_scenario(text.str());
    }
}

State &fs() {
    State &s = state_locked();
    read_environment_locked(s);
    return s;
}

// Records a call and says whether (and how) it is to fail.
struct Outcome {
    int result = 0;
    uint8_t cc = 0;
};

// A gated call waits, before it is recorded, until its gate file exists, so that a
// parent process can look at the daemon at a known point of its start-up.
void pass_gate(const std::string &name) {
    std::string file;
    {
        std::lock_guard lock(mutex);
        auto &gates = fs().gates;
        auto it = gates.find(name);
        if (it == gates.end()) {
            return;
        }
        file = it->second;
    }
    for (int waited = 0; waited < 10000 && access(file.c_str(), F_OK) != 0; waited += 5) {
        usleep(5000);
    }
}

Outcome record_locked(const std::string &name, const std::string &args, std::function<void()> &hook);

Outcome record(const std::string &name, const std::string &args) {
    pass_gate(name);
    std::function<void()> hook;
    Outcome out = record_locked(name, args, hook);
    if (hook) {
        hook();
    }
    return out;
}

Outcome record_locked(const std::string &name, const std::string &args, std::function<void()> &hook) {
    std::lock_guard lock(mutex);
    State &s = fs();
    if (auto it = s.call_hooks.find(name); it != s.call_hooks.end()) {
        hook = it->second;
    }
    s.calls.push_back({name, args});
    trace_line(s, "CALL " + name + " " + args);
    Outcome out;
    for (size_t i = 0; i < s.failures.size(); ++i) {
        const Failure &f = s.failures[i];
        if (f.name != name || (!f.args.empty() && f.args != args)) {
            continue;
        }
        int n = ++s.match_counts[std::to_string(i)];
        if (f.nth == 0 || f.nth == n) {
            out = {f.result, f.cc};
        }
    }
    return out;
}

std::string hex(unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%#x", value);
    return buf;
}

std::string str(const char *s) {
    return s != nullptr ? s : "(null)";
}

bool under(const std::string &path, const char *root) {
    return path.rfind(root, 0) == 0;
}

// The policy whose root holds the key, or empty for keys readable without one.
std::string policy_of(const std::string &path) {
    if (under(path, "/root/tavik/")) {
        return "tavik";
    }
    if (under(path, "/root/all/")) {
        return "all";
    }
    if (under(path, "/root/cluster/")) {
        return "nm";
    }
    return "";
}

int enumerate(const std::string &which, const std::string &names, char *buf, int *size) {
    std::lock_guard lock(mutex);
    State &s = fs();
    int n = ++s.enum_calls[which];
    std::string list = names;
    if (auto it = s.enum_overrides.find({which, n}); it != s.enum_overrides.end()) {
        list = it->second;
    }
    if (buf == nullptr) {
        *size = static_cast<int>(list.size());
        return 0;
    }
    if (*size < static_cast<int>(list.size())) {
        return ZVRIPC_ESIZE;
    }
    std::memcpy(buf, list.data(), list.size());
    return 0;
}

std::string multi_string(const std::vector<std::string> &names) {
    std::string list;
    for (const auto &n : names) {
        list += n;
        list += '\0';
    }
    if (names.empty()) {
        list += '\0';
    }
    list += '\0';
    return list;
}

bool known_rsc_locked(State &s, const std::string &type, const std::string &name) {
    for (const auto &r : s.resources) {
        if (r.type == type && r.name == name) {
            return true;
        }
    }
    return false;
}

bool known_node_locked(State &s, int nodeid) {
    for (const auto &n : s.nodes) {
        if (n.second == nodeid) {
            return true;
        }
    }
    return false;
}

}  // namespace

void reset() {
    std::lock_guard lock(mutex);
    State &s = state_locked();
    std::FILE *trace = s.trace;
    bool read = s.scenario_read;
    s = State{};
    s.trace = trace;
    s.scenario_read = read;
}

void set_log_threshold(int level) {
    std::lock_guard lock(mutex);
    fs().log_threshold = level;
}

void fail(const std::string &name, int nth, int result, uint8_t cc, const std::string &args) {
    std::lock_guard lock(mutex);
    fs().failures.push_back({name, args, nth, result, cc});
}

void on_call(const std::string &name, std::function<void()> fn) {
    std::lock_guard lock(mutex);
    fs().call_hooks[name] = std::move(fn);
}

void set_int(const std::string &path, int value) {
    std::lock_guard lock(mutex);
    fs().config[path] = value;
}

void set_str(const std::string &path, const std::string &value) {
    std::lock_guard lock(mutex);
    fs().config[path] = value;
}

void add_node(const std::string &name, int priority) {
    std::lock_guard lock(mutex);
    fs().nodes.emplace_back(name, priority);
}

void add_resource(const std::string &name, int priority, const std::string &type) {
    std::lock_guard lock(mutex);
    fs().resources.push_back({type, name, priority});
}

void set_state(const std::string &rsc, int nodeid, int stat) {
    std::lock_guard lock(mutex);
    fs().states[{rsc, nodeid}] = stat;
}

int state(const std::string &rsc, int nodeid) {
    std::lock_guard lock(mutex);
    auto &states = fs().states;
    auto it = states.find({rsc, nodeid});
    return it == states.end() ? -1 : it->second;
}

int status(const std::string &rsc) {
    std::lock_guard lock(mutex);
    auto &statuses = fs().statuses;
    auto it = statuses.find(rsc);
    return it == statuses.end() ? -1 : it->second;
}

void set_action(int act) {
    std::lock_guard lock(mutex);
    fs().action = act;
}

void set_ratio(int ratio, int period) {
    std::lock_guard lock(mutex);
    fs().ratio = ratio;
    fs().period = period;
}

void set_waitstat(int waitstat) {
    std::lock_guard lock(mutex);
    fs().waitstat = waitstat;
}

void set_downnotify(bool given) {
    std::lock_guard lock(mutex);
    fs().downnotify = given;
}

int statchanges() {
    std::lock_guard lock(mutex);
    return fs().statchanges;
}

void override_enum(const std::string &which, int nth, const std::string &list) {
    std::lock_guard lock(mutex);
    fs().enum_overrides[{which, nth}] = list;
}

void bmc_answer(uint32_t ip, uint8_t stat0, uint8_t stat1) {
    std::lock_guard lock(mutex);
    fs().bmc_answers[ip] = {stat0, stat1};
}

void bmc_script(std::function<void(int, uint8_t, BMC_INFO_GET *)> script) {
    std::lock_guard lock(mutex);
    fs().bmc_script = std::move(script);
}

std::vector<ProgrammedBlock> bmc_programmed() {
    std::lock_guard lock(mutex);
    return fs().programmed;
}

std::vector<Call> calls() {
    std::lock_guard lock(mutex);
    return fs().calls;
}

std::vector<std::string> call_names() {
    std::vector<std::string> names;
    for (const auto &c : calls()) {
        names.push_back(c.name);
    }
    return names;
}

int count_calls(const std::string &name, const std::string &args) {
    int n = 0;
    for (const auto &c : calls()) {
        n += c.name == name && (args.empty() || c.args == args);
    }
    return n;
}

std::vector<LogRecord> logs() {
    std::lock_guard lock(mutex);
    return fs().logs;
}

std::vector<Event> events() {
    std::lock_guard lock(mutex);
    return fs().events;
}

int count_logs(const std::string &part, int level) {
    int n = 0;
    for (const auto &r : logs()) {
        n += r.text.find(part) != std::string::npos && (level == 0 || r.level == level);
    }
    return n;
}

bool has_log(const std::string &part, int level) {
    return count_logs(part, level) > 0;
}

void load_scenario(const std::string &json_text) {
    using nlohmann::json;
    const json j = json::parse(json_text);
    static const json empty_object = json::object();
    static const json empty_array = json::array();
    auto section = [&j](const char *key, const json &empty) -> const json & {
        auto it = j.find(key);
        return it == j.end() ? empty : *it;
    };
    std::lock_guard lock(mutex);
    for (auto &[path, value] : section("config", empty_object).items()) {
        if (value.is_number_integer()) {
            set_int(path, value.get<int>());
        } else {
            set_str(path, value.get<std::string>());
        }
    }
    for (auto &f : section("fail", empty_array)) {
        fail(f.at("call").get<std::string>(), f.value("nth", 0), f.value("result", 1),
             static_cast<uint8_t>(f.value("cc", 0)), f.value("args", std::string()));
    }
    for (auto &n : section("nodes", empty_array)) {
        add_node(n.at(0).get<std::string>(), n.at(1).get<int>());
    }
    for (auto &r : section("resources", empty_array)) {
        add_resource(r.at(0).get<std::string>(), r.at(1).get<int>());
    }
    for (auto &a : section("bmc", empty_array)) {
        uint32_t ip = 0;
        (void)inet_pton(AF_INET, a.at("ip").get<std::string>().c_str(), &ip);
        bmc_answer(ip, static_cast<uint8_t>(a.value("stat0", 0)), static_cast<uint8_t>(a.value("stat1", 0)));
    }
    for (auto &[call, file] : section("gates", empty_object).items()) {
        fs().gates[call] = file.get<std::string>();
    }
    set_downnotify(j.value("downnotify", false));
    set_waitstat(j.value("waitstat", 0));
    set_action(j.value("action", 0));
    set_ratio(j.value("ratio", 1), j.value("period", 0));
}

}  // namespace fake

// ---------------------------------------------------------------- configuration

using fake::hex;
using fake::record;
using fake::str;

extern "C" {

int xmllib_init(const char *name) {
    auto out = record("xmllib_init", str(name));
    if (out.result == 0) {
        std::lock_guard lock(fake::mutex);
        fake::fs().xml_ready = true;
    }
    return out.result;
}

int xmllib_load_config(void) {
    auto out = record("xmllib_load_config", "");
    if (out.result == 0) {
        std::lock_guard lock(fake::mutex);
        fake::fs().config_loaded = true;
    }
    return out.result;
}

int xmllib_load_policy(const char *name) {
    auto out = record("xmllib_load_policy", str(name));
    if (out.result != 0) {
        return out.result;
    }
    std::string n = str(name);
    if (n != "tavik" && n != "all" && n != "nm") {
        return fake::XML_BAD_POLICY;
    }
    std::lock_guard lock(fake::mutex);
    fake::fs().policies.insert(n);
    return 0;
}

int xmllib_unload_policy(const char *name) {
    auto out = record("xmllib_unload_policy", str(name));
    std::lock_guard lock(fake::mutex);
    bool was_loaded = fake::fs().policies.erase(str(name)) > 0;
    if (out.result != 0) {
        return out.result;
    }
    return was_loaded ? 0 : fake::XML_POLICY_NOT_LOADED;
}

int xmllib_get_value(const char *path, int type, void *buf, int *size) {
    std::string p = str(path);
    auto out = record("xmllib_get_value", p + "," + std::to_string(type) + "," + std::to_string(*size));
    if (out.result != 0) {
        return out.result;
    }
    std::lock_guard lock(fake::mutex);
    fake::State &s = fake::fs();
    if (!s.config_loaded) {
        return fake::XML_NOT_LOADED;
    }
    if (std::string policy = fake::policy_of(p); !policy.empty() && s.policies.count(policy) == 0) {
        return fake::XML_POLICY_NOT_LOADED;
    }
    auto it = s.config.find(p);
    if (it == s.config.end()) {
        return fake::XML_NO_KEY;
    }
    if (type == XMLLIB_TYPE_INT) {
        if (!std::holds_alternative<int>(it->second) || *size < 4) {
            return fake::XML_WRONG_TYPE;
        }
        int v = std::get<int>(it->second);
        std::memcpy(buf, &v, sizeof v);
        return 0;
    }
    if (!std::holds_alternative<std::string>(it->second)) {
        return fake::XML_WRONG_TYPE;
    }
    const std::string &v = std::get<std::string>(it->second);
    if (static_cast<int>(v.size()) + 1 > *size) {
        return fake::XML_TOO_LONG;
    }
    std::memcpy(buf, v.c_str(), v.size() + 1);
    return 0;
}

int xmllib_unload_config(void) {
    auto out = record("xmllib_unload_config", "");
    std::lock_guard lock(fake::mutex);
    fake::fs().config_loaded = false;
    return out.result;
}

int xmllib_term(void) {
    auto out = record("xmllib_term", "");
    std::lock_guard lock(fake::mutex);
    fake::fs().xml_ready = false;
    return out.result;
}

clock_t xmllib_times(int) {
    static const long ticks = sysconf(_SC_CLK_TCK);
    return static_cast<clock_t>(thctl_now_us() / (1000000 / static_cast<uint64_t>(ticks)));
}

const char *xmllib_last_error(void) {
    return "fake configuration library";
}

// ---------------------------------------------------------------- log

namespace {
int fake_log_handle;
}

int log_init(const char *name, void **handle, int level, int size, int flags) {
    auto out = record("log_init", str(name) + "," + std::to_string(level) + "," + std::to_string(size) + "," +
                                      std::to_string(flags));
    *handle = &fake_log_handle;
    return out.result;
}

int log_write(void *handle, int level, int msgid, const char *file, int line, const char *func,
              const char *text, ...) {
    if (handle == nullptr) {
        return ZVRLOG_E_ARG;
    }
    std::lock_guard lock(fake::mutex);
    fake::State &s = fake::fs();
    if (level == LOG_LEVEL_EVENT) {
        fake::Event e{msgid, str(func), {}};
        if (msgid == LOG_EVENT_HEARTBEAT_DELAY) {
            va_list ap;
            va_start(ap, text);
            e.params.push_back(str(va_arg(ap, const char *)));
            e.params.push_back(str(va_arg(ap, const char *)));
            e.params.push_back(std::to_string(va_arg(ap, int)));
            e.params.push_back(std::to_string(va_arg(ap, long)));
            e.params.push_back(std::to_string(va_arg(ap, unsigned long long)));
            e.params.push_back(std::to_string(va_arg(ap, int)));
            va_end(ap);
        }
        std::string line_text = "EVENT " + std::to_string(msgid) + " " + e.func;
        for (const auto &p : e.params) {
            line_text += " " + p;
        }
        fake::trace_line(s, line_text);
        s.events.push_back(std::move(e));
        return 0;
    }
    s.logs.push_back({level, str(file), line, str(func), str(text)});
    fake::trace_line(s, "LOG " + std::to_string(level) + " " + str(func) + " " + str(text));
    return 0;
}

int log_enabled(void *handle, int level) {
    if (handle == nullptr) {
        return 0;
    }
    std::lock_guard lock(fake::mutex);
    const fake::State &s = fake::fs();
    return s.log_threshold == 0 || (level > 0 && level <= s.log_threshold) ? 1 : 0;
}

int log_term(void *) {
    return record("log_term", "").result;
}

// ---------------------------------------------------------------- IPC

int sem_attach(void) {
    return record("sem_attach", "").result;
}
int sem_detach(void) {
    return record("sem_detach", "").result;
}
int shmcm_attach(void) {
    return record("shmcm_attach", "").result;
}
int shmcm_detach(void) {
    return record("shmcm_detach", "").result;
}
int shmnm_attach(void) {
    return record("shmnm_attach", "").result;
}
int shmnm_detach(void) {
    return record("shmnm_detach", "").result;
}

const char *ipc_last_error(void) noexcept {
    return "the fake library's reason";
}

void ipc_set_lost_handler(void (*)(const char *)) noexcept {}

int shmnm_getwaitstat(int *waitstat) {
    auto out = record("shmnm_getwaitstat", "");
    if (out.result == 0) {
        std::lock_guard lock(fake::mutex);
        *waitstat = fake::fs().waitstat;
    }
    return out.result;
}

int sem_wait_downnotify(int flags) {
    auto out = record("sem_wait_downnotify", std::to_string(flags));
    if (out.result != 0) {
        return out.result;
    }
    std::lock_guard lock(fake::mutex);
    return fake::fs().downnotify ? 0 : ZVRIPC_EAGAIN;
}

int sem_set_statchange(void) {
    auto out = record("sem_set_statchange", "");
    if (out.result == 0) {
        std::lock_guard lock(fake::mutex);
        ++fake::fs().statchanges;
    }
    return out.result;
}

int shmcm_getaction(int *act, char acttype[32], int flags) {
    auto out = record("shmcm_getaction", std::to_string(flags));
    if (out.result == 0) {
        std::lock_guard lock(fake::mutex);
        *act = fake::fs().action;
        std::snprintf(acttype, 32, "%s", "fake");
    }
    return out.result;
}

int shmcm_getratio(int *ratio, int *period) {
    auto out = record("shmcm_getratio", "");
    if (out.result == 0) {
        std::lock_guard lock(fake::mutex);
        *ratio = fake::fs().ratio;
        *period = fake::fs().period;
    }
    return out.result;
}

int shmnm_enumrsc(const char *type, char *buf, int *size) {
    auto out = record("shmnm_enumrsc",
                      str(type) + "," + (buf == nullptr ? "null" : "buf") + "," + std::to_string(*size));
    if (out.result != 0) {
        return out.result;
    }
    std::vector<std::string> names;
    {
        std::lock_guard lock(fake::mutex);
        for (const auto &r : fake::fs().resources) {
            if (r.type == str(type)) {
                names.push_back(r.name);
            }
        }
    }
    return fake::enumerate("rsc", fake::multi_string(names), buf, size);
}

int shmnm_enumnode(char *buf, int *size) {
    auto out =
        record("shmnm_enumnode", std::string(buf == nullptr ? "null" : "buf") + "," + std::to_string(*size));
    if (out.result != 0) {
        return out.result;
    }
    std::vector<std::string> names;
    {
        std::lock_guard lock(fake::mutex);
        for (const auto &n : fake::fs().nodes) {
            names.push_back(n.first);
        }
    }
    return fake::enumerate("node", fake::multi_string(names), buf, size);
}

int shmnm_getnodepri(const char *node, int *pri) {
    auto out = record("shmnm_getnodepri", str(node));
    if (out.result != 0) {
        return out.result;
    }
    std::lock_guard lock(fake::mutex);
    for (const auto &n : fake::fs().nodes) {
        if (n.first == str(node)) {
            *pri = n.second;
            return 0;
        }
    }
    return fake::IPC_UNKNOWN;
}

int shmnm_getrscpri(const char *type, const char *rsc, int *pri) {
    auto out = record("shmnm_getrscpri", str(type) + "," + str(rsc));
    if (out.result != 0) {
        return out.result;
    }
    std::lock_guard lock(fake::mutex);
    for (const auto &r : fake::fs().resources) {
        if (r.type == str(type) && r.name == str(rsc)) {
            *pri = r.priority;
            return 0;
        }
    }
    return fake::IPC_UNKNOWN;
}

int shmnm_getrscsvstat(const char *type, const char *rsc, int nodeid, int *stat) {
    auto out = record("shmnm_getrscsvstat", str(type) + "," + str(rsc) + "," + std::to_string(nodeid));
    if (out.result != 0) {
        return out.result;
    }
    std::lock_guard lock(fake::mutex);
    fake::State &s = fake::fs();
    if (!fake::known_rsc_locked(s, str(type), str(rsc)) || !fake::known_node_locked(s, nodeid)) {
        return fake::IPC_UNKNOWN;
    }
    auto it = s.states.find({str(rsc), nodeid});
    *stat = it == s.states.end() ? 9 : it->second;
    return 0;
}

int shmnm_setrscsvstat(const char *type, const char *rsc, int nodeid, int stat) {
    auto out = record("shmnm_setrscsvstat",
                      str(type) + "," + str(rsc) + "," + std::to_string(nodeid) + "," + std::to_string(stat));
    if (out.result != 0) {
        return out.result;
    }
    std::lock_guard lock(fake::mutex);
    fake::State &s = fake::fs();
    if (!fake::known_rsc_locked(s, str(type), str(rsc)) || !fake::known_node_locked(s, nodeid)) {
        return fake::IPC_UNKNOWN;
    }
    s.states[{str(rsc), nodeid}] = stat;
    return 0;
}

int shmnm_setrscstat(const char *type, const char *rsc, int stat) {
    auto out = record("shmnm_setrscstat", str(type) + "," + str(rsc) + "," + std::to_string(stat));
    if (out.result != 0) {
        return out.result;
    }
    std::lock_guard lock(fake::mutex);
    fake::State &s = fake::fs();
    if (!fake::known_rsc_locked(s, str(type), str(rsc))) {
        return fake::IPC_UNKNOWN;
    }
    s.statuses[str(rsc)] = stat;
    return 0;
}

// ---------------------------------------------------------------- BMC

int libzvrbmc_init(void) {
    return record("libzvrbmc_init", "").result;
}
int libzvrbmc_term(void) {
    return record("libzvrbmc_term", "").result;
}
int bmc_init(void) {
    return record("bmc_init", "").result;
}
int bmc_term(void) {
    return record("bmc_term", "").result;
}

int bmc_SetZelvarinStatus(int unit, uint8_t ctrl, uint8_t *CompletionCode) {
    auto out = record("bmc_SetZelvarinStatus", std::to_string(unit) + "," + hex(ctrl));
    *CompletionCode = out.cc;
    return out.result;
}

int bmc_SetZelvarinAccessTime(uint8_t cmd, uint16_t seconds, uint8_t *CompletionCode) {
    auto out = record("bmc_SetZelvarinAccessTime", hex(cmd) + "," + std::to_string(seconds));
    *CompletionCode = out.cc;
    return out.result;
}

int bmc_SetBmcIpAddressAll(uint8_t cmd, uint8_t block, const BMC_INFO_SET *first, uint8_t *CompletionCode,
                           uint8_t *BlockNumber) {
    auto out = record("bmc_SetBmcIpAddressAll", hex(cmd) + "," + std::to_string(block));
    *CompletionCode = out.cc;
    *BlockNumber = block;
    if (out.result == 0 && out.cc == 0) {
        std::lock_guard lock(fake::mutex);
        fake::ProgrammedBlock pb{block, {}};
        std::memcpy(pb.records.data(), first, sizeof(BMC_INFO_SET) * BMC_BLOCK_RECORDS);
        fake::fs().programmed.push_back(pb);
        fake::fs().current_blocks[block] = pb.records;
    }
    return out.result;
}

int bmc_GetBmcStatusAll(uint8_t cmd, uint8_t block, uint8_t *CompletionCode, uint8_t *BlockNumber,
                        BMC_INFO_GET *first) {
    auto out = record("bmc_GetBmcStatusAll", hex(cmd) + "," + std::to_string(block));
    *CompletionCode = out.cc;
    *BlockNumber = block;
    if (out.result != 0 || out.cc != 0) {
        return out.result;
    }
    std::function<void(int, uint8_t, BMC_INFO_GET *)> script;
    int pollno;
    {
        std::lock_guard lock(fake::mutex);
        fake::State &s = fake::fs();
        pollno = ++s.polls;
        const auto &targets = s.current_blocks[block];
        for (int i = 0; i < BMC_BLOCK_RECORDS; ++i) {
            BMC_INFO_GET &r = first[i];
            r = BMC_INFO_GET{};
            r.ip = targets[static_cast<size_t>(i)].ip;
            r.timeout = targets[static_cast<size_t>(i)].timeout;
            auto it = s.bmc_answers.find(r.ip);
            if (it != s.bmc_answers.end()) {
                r.stat[0] = it->second.first;
                r.stat[1] = it->second.second;
            } else {
                r.stat[0] = BMC_RESULT_STOPPED << BMC_RESULT_SHIFT;  // no result
            }
        }
        script = s.bmc_script;
    }
    if (script) {
        script(pollno, block, first);
    }
    return 0;
}

const char *libzvrbmc_last_error(void) {
    return "fake BMC library";
}

}  // extern "C"
