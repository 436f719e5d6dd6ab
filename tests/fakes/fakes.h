// SPDX-License-Identifier: GPL-3.0-or-later
// Control of the fake platform libraries (fake_platform.cpp), which tests link in place
// of the real configuration, log, IPC and BMC libraries.
//
// Every fake operation is recorded in order with its arguments; any operation can be
// made to fail on its Nth call (or every call) with a chosen result and, for BMC calls,
// completion code; log records and events are captured; the configuration keys, the
// cluster's nodes, resources, states and settings, and the BMC's answers are set by the
// test. xmllib_times follows the sleep clock of thctl.h, so a test that switches it to
// virtual time drives both.
//
// A daemon binary linked with the fakes reads its scenario from the JSON file named by
// TAVIK_FAKE_SCENARIO and appends every call and log record to the file named by
// TAVIK_FAKE_TRACE, one line each, so a parent process can check them.
//
// Thread safety: every function here and every fake operation may be called from any
// thread; one mutex guards the fakes' state. Callbacks run without it held.
#pragma once

#include <zvrbmc.h>
#include <zvripc_admin.h>
#include <zvrxml.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fake {

struct Call {
    std::string name;
    std::string args;  // comma-separated, as the operation received them
};

struct LogRecord {
    int level;
    std::string file;
    int line;
    std::string func;
    std::string text;
};

struct Event {
    int msgid;
    std::string func;
    std::vector<std::string> params;  // formatted as text
};

struct ProgrammedBlock {
    uint8_t block;
    std::array<BMC_INFO_SET, BMC_BLOCK_RECORDS> records;
};

// Results of the fake configuration library: the real library's codes.
constexpr int XML_NO_KEY = XMLLIB_E_NO_KEY;
constexpr int XML_WRONG_TYPE = XMLLIB_E_TYPE_MISMATCH;
constexpr int XML_TOO_LONG = XMLLIB_E_TOO_LONG;
constexpr int XML_POLICY_NOT_LOADED = XMLLIB_E_POLICY_NOT_LOADED;
constexpr int XML_NOT_LOADED = XMLLIB_E_NOT_LOADED;
constexpr int XML_BAD_POLICY = XMLLIB_E_POLICY_UNKNOWN;
// Result of an IPC call on a resource or node the namespace does not hold.
constexpr int IPC_UNKNOWN = ZVRIPC_ENOTFOUND;

// Back to an empty scenario: no keys, no nodes or resources, ratio 1, nothing failing.
void reset();

// The nth call (1-based, counted since reset) of `name` whose arguments equal `args`
// (any arguments when empty) returns `result` and stores `cc` as completion code.
// nth 0: every such call.
void fail(const std::string &name, int nth, int result, uint8_t cc = 0, const std::string &args = "");

// Runs fn (without the fakes' lock) each time `name` is called, after it is recorded
// and before it does its work; tests use it to act at a chosen point of a worker.
void on_call(const std::string &name, std::function<void()> fn);

// Configuration keys.
void set_int(const std::string &path, int value);
void set_str(const std::string &path, const std::string &value);

// The cluster as the IPC library holds it.
void add_node(const std::string &name, int priority);
void add_resource(const std::string &name, int priority, const std::string &type = "tavik");
void set_state(const std::string &rsc, int nodeid, int stat);
int state(const std::string &rsc, int nodeid);  // -1 when never set
int status(const std::string &rsc);             // -1 when never set
void set_action(int act);
void set_ratio(int ratio, int period = 0);
void set_waitstat(int waitstat);
void set_downnotify(bool given);
int statchanges();
// The nth enumeration call of "rsc" or "node" (1-based, both calls of the two-call
// protocol counted separately) sees `list` (a multi-string list, both NULs included)
// instead of the cluster's names.
void override_enum(const std::string &which, int nth, const std::string &list);

// What the BMC answers for a target: stat[0] and stat[1] of its record in every poll.
// Targets without an answer report result state 2 (no result).
void bmc_answer(uint32_t ip, uint8_t stat0, uint8_t stat1);
// Full control of the answers: called for every successful poll of a block, after the
// default answers were filled in; pollno counts polls since reset, from 1.
void bmc_script(std::function<void(int pollno, uint8_t block, BMC_INFO_GET *records)> script);
std::vector<ProgrammedBlock> bmc_programmed();

// What happened.
std::vector<Call> calls();
std::vector<std::string> call_names();
int count_calls(const std::string &name, const std::string &args = "");
std::vector<LogRecord> logs();
std::vector<Event> events();
// The channel level the fake log library's log_enabled reports: records above it are
// filtered. 0 (after reset): every level is written, so tests see every record.
void set_log_threshold(int level);
// Log records whose text contains `part` (at `level` when it is not 0).
int count_logs(const std::string &part, int level = 0);
bool has_log(const std::string &part, int level = 0);

// Loads a JSON scenario: {"config": {path: int | string}, "fail": [{"call", "nth", "result",
// "cc", "args"}], "nodes": [[name, priority]], "resources": [[name, priority]],
// "bmc": [{"ip", "stat0", "stat1"}], "gates": {call: file}, "waitstat", "action", "ratio",
// "period", "downnotify"}. A gated call waits until its file exists before it is
// recorded. Throws on malformed JSON.
void load_scenario(const std::string &json_text);

}  // namespace fake
