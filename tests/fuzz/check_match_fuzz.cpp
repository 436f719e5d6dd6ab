// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the BMC check thread as it matches the BMC's returned status blocks. The
// input builds a heartbeat table (resources by nodes, with repeated, invalid and empty
// addresses, unused entries, up to 40 qualifying entries so that some do not fit the 32
// targets), the published states, the cluster's registrations, failures of chosen BMC
// and IPC calls, and the records of each poll (address, stat[0], stat[1] of every slot).
// hbcheckbmc then runs one or two cycles against the fakes in virtual time. What must
// hold:
//  - no crash and no sanitizer report; the thread ends with "0";
//  - the poll loop ends: "still collecting" is answered a few times at most, after
//    which every slot is ready or without result, and no cycle takes more than a
//    bounded number of sleeps;
//  - every state change is whole: a pair's publication, then its resource's status,
//    then the status-change signal, with nothing of another change in between;
//  - the last publication equals the table: every entry holds the last state published
//    for it (its start state when none was), unused entries are never touched, every
//    pair's published state is the last one published successfully, and every
//    resource holds the last status it published.
// Which results the match pass hands on, and what hbdata and setrscstat decide for
// them, the unit tests pin; a second copy of those rules here would share any misreading
// with the code under test.
// Each input runs the thread once, created and joined here; nothing sleeps in real time.
#include <arpa/inet.h>
#include <pthread.h>
#include <zvrbmc.h>
#include <zvrxml.h>

#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "bmccheck/checkbmc.h"
#include "diag/tavik_log.h"
#include "fakes.h"
#include "fuzz_check.h"
#include "tavik/tavik.h"
#include "tavik/thctl.h"

namespace {

constexpr int kMaxResources = 4;
constexpr int kMaxNodes = 10;  // 4 x 10: up to 40 qualifying entries
constexpr int kPool = 12;      // addresses 127.0.1.1 to 127.0.1.12
constexpr int kRecordBytes = 3;
constexpr int kCollectingPolls = 4;  // polls that may answer "still collecting"
constexpr int kMaxSleeps = 64;
constexpr int kHbint = 3000;  // ms: its pause (3 s) differs from the 1-s poll sleep
constexpr std::uint64_t kPauseUs = kHbint * 1000ULL;

// Entry start states, published start states (-1: none published), time-outs, rates.
constexpr int kStartStates[] = {RSCSV_OFFLINE, RSCSV_ONLINE,  RSCSV_UNKNOWN, RSCSV_UNUSED,
                                RSCSV_NONE,    RSCSV_OFFLINE, RSCSV_UNUSED,  RSCSV_ONLINE};
constexpr int kPublished[] = {-1, RSCSV_ONLINE, RSCSV_OFFLINE, RSCSV_UNKNOWN, RSCSV_UNUSED, 0, RSCSV_ONLINE,
                              7};
constexpr int kHbto[] = {90000, 25000, 1, 9999};
constexpr int kWarnrate[] = {80, 0, 100, 50};

struct Injected {
    const char *name;
    const char *args;  // as the fake matches them; empty: any
};
constexpr Injected kInjectable[] = {
    {"bmc_GetBmcStatusAll", ""},    {"bmc_SetZelvarinStatus", "1,0x2"},
    {"bmc_SetBmcIpAddressAll", ""}, {"shmnm_getrscsvstat", ""},
    {"shmnm_setrscsvstat", ""},     {"shmnm_setrscstat", ""},
    {"sem_set_statchange", ""},     {"shmcm_getratio", ""},
};

struct Failure {
    std::string name, args;
    int nth;
    int result;
    std::uint8_t cc;
};

struct Entry {
    std::string ip;  // text; empty: no address
    std::uint32_t ip_int;
    int start;
    int published;
};

struct Scenario {
    int currsc = 0, curnode = 0;
    int mypri = 0;
    int cycles = 1;
    int bmcinit = 0;
    int hbto = 90000;
    int warnrate = 80;
    int ratio = 1;
    unsigned rsc_unknown = 0;   // bit i: resource i is not in the cluster's tables
    unsigned node_unknown = 0;  // bit j: node j is not
    std::vector<Failure> failures;
    std::vector<Entry> entries;  // resource-major
    std::string_view polls;      // kRecordBytes per slot, 16 slots per poll
};

std::uint32_t pool_addr(int k) {
    std::uint32_t a = 0;
    inet_pton(AF_INET, ("127.0.1." + std::to_string(k + 1)).c_str(), &a);
    return a;
}

Scenario read_scenario(fuzz::Reader &in) {
    Scenario s;
    const std::uint8_t shape = in.byte();
    s.currsc = shape % (kMaxResources + 1);
    s.curnode = (shape / (kMaxResources + 1)) % (kMaxNodes + 1);
    const std::uint8_t flags = in.byte();
    s.cycles = 1 + (flags & 1);
    s.bmcinit = flags & 2 ? -1 : 0;
    s.hbto = kHbto[(flags >> 2) & 3];
    s.warnrate = kWarnrate[(flags >> 4) & 3];
    s.mypri = in.byte() % (s.curnode + 2);  // node j has priority j + 1; 0 and curnode + 1 match none
    const std::uint8_t rsc_mask = in.byte();
    s.rsc_unknown = rsc_mask & 0x80 ? rsc_mask & 0x0f : 0;
    const std::uint8_t node_hi = in.byte();
    const std::uint8_t node_lo = in.byte();
    s.node_unknown = node_hi & 0x80 ? (static_cast<unsigned>(node_hi & 0x03) << 8) | node_lo : 0;
    s.ratio = static_cast<std::int8_t>(in.byte());
    const int nfail = in.byte() % 6;
    for (int i = 0; i < nfail; ++i) {
        const Injected &what = kInjectable[in.byte() % std::size(kInjectable)];
        const int nth = in.byte() % 10;  // 0: every call
        const int results[] = {1, 5, 0, -1};
        const int result = results[in.byte() % 4];
        const std::uint8_t cc = in.byte();
        s.failures.push_back({what.name, what.args, nth, result, cc});
    }
    for (int e = 0; e < s.currsc * s.curnode; ++e) {
        const std::uint8_t a = in.byte();
        const std::uint8_t b = in.byte();
        Entry entry{};
        const int addr = a & 15;
        if (addr < kPool) {
            entry.ip = "127.0.1." + std::to_string(addr + 1);
            entry.ip_int = pool_addr(addr);
        } else if (addr == 12) {
            entry.ip = "no-address";  // text that did not parse: ip_int 0, like a filler slot
            entry.ip_int = 0;
        } else if (addr == 15) {
            entry.ip = "127.0.1.1";
            entry.ip_int = pool_addr(0);
        }
        entry.start = kStartStates[(a >> 4) & 7];
        entry.published = kPublished[b % 8];
        s.entries.push_back(entry);
    }
    s.polls = in.rest();
    return s;
}

std::string rsc_name(int i) {
    return "hb" + std::to_string(i + 1);
}
std::string node_name(int j) {
    return "node" + std::to_string(j + 1);
}

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Table = std::unique_ptr<tavik_list_head, FreeDeleter>;

Table build_table(const Scenario &s) {
    // Exactly the table's size: a record touched past it is an ASan report.
    Table t(static_cast<tavik_list_head *>(std::calloc(1, tablesize(s.currsc, s.curnode))));
    FUZZ_CHECK(t != nullptr, "out of memory");
    t->hbto = s.hbto;
    t->hbint = kHbint;
    t->mypri = s.mypri;
    t->curnode = s.curnode;
    t->currsc = s.currsc;
    for (int i = 0; i < s.currsc; ++i) {
        tavik_list_rsc *prsc = rscat(t.get(), i);
        std::snprintf(prsc->name, sizeof prsc->name, "%s", rsc_name(i).c_str());
        prsc->priority = i + 1;
        for (int j = 0; j < s.curnode; ++j) {
            const Entry &e = s.entries[static_cast<std::size_t>(i * s.curnode + j)];
            tavik_list_node &n = nodesof(prsc)[j];
            std::snprintf(n.name, sizeof n.name, "%s", node_name(j).c_str());
            std::snprintf(n.ip, sizeof n.ip, "%s", e.ip.c_str());
            n.ip_int = e.ip_int;
            n.priority = j + 1;
            n.stat = e.start;
        }
    }
    return t;
}

// What the fake answers, in its own words: the nth matching call gets the last matching
// failure whose nth it is (or that applies to every call).
class FailureModel {
  public:
    explicit FailureModel(const std::vector<Failure> &f) : f_(f), counts_(f.size(), 0) {}
    std::pair<int, std::uint8_t> next(const fake::Call &c) {
        std::pair<int, std::uint8_t> out{0, 0};
        for (std::size_t i = 0; i < f_.size(); ++i) {
            if (f_[i].name != c.name || (!f_[i].args.empty() && f_[i].args != c.args)) {
                continue;
            }
            const int n = ++counts_[i];
            if (f_[i].nth == 0 || f_[i].nth == n) {
                out = {f_[i].result, f_[i].cc};
            }
        }
        return out;
    }

  private:
    const std::vector<Failure> &f_;
    std::vector<int> counts_;
};

struct Run {
    int sleeps = 0;
    int pauses = 0;
};

void answer(const Scenario &s, int pollno, BMC_INFO_GET *r) {
    const std::size_t at = static_cast<std::size_t>(pollno - 1) * BMC_BLOCK_RECORDS * kRecordBytes;
    for (int slot = 0; slot < BMC_BLOCK_RECORDS; ++slot) {
        const std::size_t k = at + static_cast<std::size_t>(slot) * kRecordBytes;
        if (k + kRecordBytes <= s.polls.size()) {
            const auto ipsel = static_cast<std::uint8_t>(s.polls[k]);
            if (ipsel >= 0xf0) {
                r[slot].ip = 0;
            } else if (ipsel >= 0x80) {
                r[slot].ip = pool_addr((ipsel - 0x80) % kPool);
            }
            r[slot].stat[0] = static_cast<std::uint8_t>(s.polls[k + 1]);
            r[slot].stat[1] = static_cast<std::uint8_t>(s.polls[k + 2]);
        }
        // The collection has no limit of its own: the BMC ends it by being ready.
        const int state = (r[slot].stat[0] & BMC_RESULT_MASK) >> BMC_RESULT_SHIFT;
        if (pollno > kCollectingPolls && state == BMC_RESULT_COLLECTING) {
            r[slot].stat[0] &= static_cast<std::uint8_t>(~BMC_RESULT_MASK);
        }
    }
}

// Splits "tavik,hbI,P[,V]" into the entry and the value (-1 when absent).
std::pair<int, int> entry_of(const Scenario &s, const std::string &args) {
    int i = 0, pri = 0, value = -1;
    const int fields = std::sscanf(args.c_str(), "tavik,hb%d,%d,%d", &i, &pri, &value);
    FUZZ_CHECK(fields >= 2 && i >= 1 && i <= s.currsc && pri >= 1 && pri <= s.curnode,
               "a call on no entry: %s", args.c_str());
    return {(i - 1) * s.curnode + (pri - 1), value};
}

void check_run(const Scenario &s, const tavik_list_head *plist) {
    FailureModel failures(s.failures);
    std::vector<int> attempted(s.entries.size(), -1);  // last state published, -1: none
    std::map<std::size_t, int> published;              // last successful publication per pair
    std::map<int, int> computed;                       // per resource, last status computed
    std::map<int, int> last_status;                    // per resource, last successful status
    auto known = [&](int e) {
        const int i = e / s.curnode, j = e % s.curnode;
        return (s.rsc_unknown >> i & 1) == 0 && (s.node_unknown >> j & 1) == 0;
    };
    enum class Next { change, status, signal } next = Next::change;
    int changing = -1;  // entry of the state change in progress
    for (const fake::Call &c : fake::calls()) {
        const bool refused = failures.next(c).first != 0;  // the fake IPC calls return only the result
        if (c.name == "shmnm_setrscsvstat") {
            FUZZ_CHECK(next == Next::change, "publication %s inside the change of entry %d", c.args.c_str(),
                       changing);
            const auto [e, value] = entry_of(s, c.args);
            FUZZ_CHECK(value == RSCSV_ONLINE || value == RSCSV_OFFLINE, "publication of state %d", value);
            attempted[static_cast<std::size_t>(e)] = value;
            if (!refused && known(e)) {
                published[static_cast<std::size_t>(e)] = value;
            }
            changing = e;
            next = Next::status;
        } else if (c.name == "shmnm_setrscstat") {
            int i = 0, status = -1;
            FUZZ_CHECK(std::sscanf(c.args.c_str(), "tavik,hb%d,%d", &i, &status) == 2, "status call %s",
                       c.args.c_str());
            FUZZ_CHECK(next == Next::status && i - 1 == changing / s.curnode,
                       "resource status %s outside the change of its entry", c.args.c_str());
            computed[i - 1] = status;
            if (!refused && (s.rsc_unknown >> (i - 1) & 1) == 0) {
                last_status[i - 1] = status;
            }
            next = Next::signal;
        } else if (c.name == "sem_set_statchange") {
            FUZZ_CHECK(next == Next::signal, "a status-change signal outside a state change");
            next = Next::change;
        }
    }
    FUZZ_CHECK(next == Next::change, "the change of entry %d was left unfinished", changing);

    for (int i = 0; i < s.currsc; ++i) {
        tavik_list_rsc *prsc = rscat(const_cast<tavik_list_head *>(plist), i);
        if (auto it = last_status.find(i); it != last_status.end()) {
            FUZZ_CHECK(prsc->stat == it->second, "resource %d holds status %d, last published %d", i,
                       prsc->stat, it->second);
        }
        for (int j = 0; j < s.curnode; ++j) {
            const std::size_t e = static_cast<std::size_t>(i * s.curnode + j);
            const tavik_list_node &n = nodesof(prsc)[j];
            const int want = attempted[e] >= 0 ? attempted[e] : s.entries[e].start;
            FUZZ_CHECK(n.stat == want, "entry %d/%d holds %d, the last state published is %d", i, j, n.stat,
                       want);
            FUZZ_CHECK(s.entries[e].start != RSCSV_UNUSED || n.stat == RSCSV_UNUSED,
                       "unused entry %d/%d changed", i, j);
            auto it = published.find(e);
            const int expected = it != published.end() ? it->second : s.entries[e].published;
            FUZZ_CHECK(fake::state(rsc_name(i), j + 1) == expected, "pair %d/%d published %d, expected %d", i,
                       j, fake::state(rsc_name(i), j + 1), expected);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::Reader in(data, size);
    const Scenario s = read_scenario(in);

    fake::reset();
    tavik_reset_globals();
    thctl_virtual_clock(true);
    thctl_virtual_clock_auto(true);
    tckconf = 100;
    bmcinit = s.bmcinit;
    bhbcheckbmc = 1;
    warnrate = s.warnrate;
    xmllib_init("tavik");
    xmllib_load_config();
    tavik_loginit();

    for (int i = 0; i < s.currsc; ++i) {
        if ((s.rsc_unknown >> i & 1) == 0) {
            fake::add_resource(rsc_name(i), i + 1);
        }
    }
    for (int j = 0; j < s.curnode; ++j) {
        if ((s.node_unknown >> j & 1) == 0) {
            fake::add_node(node_name(j), j + 1);
        }
    }
    for (int e = 0; e < s.currsc * s.curnode; ++e) {
        if (s.entries[static_cast<std::size_t>(e)].published >= 0) {
            fake::set_state(rsc_name(e / s.curnode), e % s.curnode + 1,
                            s.entries[static_cast<std::size_t>(e)].published);
        }
    }
    fake::set_ratio(s.ratio);
    for (const Failure &f : s.failures) {
        fake::fail(f.name, f.nth, f.result, f.cc, f.args);
    }
    Run run;
    fake::bmc_script([&](int pollno, std::uint8_t, BMC_INFO_GET *r) { answer(s, pollno, r); });
    // Stop after the chosen number of pauses of the interval (the cycles' ends, or the
    // pauses after refusals); and never let the thread spin on in virtual time.
    thctl_set_sleep_hook([&](std::uint64_t usec) {
        ++run.sleeps;
        FUZZ_CHECK(run.sleeps <= kMaxSleeps, "the check thread slept %d times in %d cycles", run.sleeps,
                   s.cycles);
        if (usec == kPauseUs && ++run.pauses == s.cycles) {
            bsigrecv = 1;
        }
    });

    Table table = build_table(s);
    pthread_t th;
    FUZZ_CHECK(thctl_create(&th, nullptr, hbcheckbmc, table.get()) == 0, "cannot start the check thread");
    void *result = nullptr;
    FUZZ_CHECK(thctl_join(th, &result) == 0, "cannot join the check thread");
    thctl_set_sleep_hook({});
    fake::bmc_script({});
    tavik_logterm();

    FUZZ_CHECK(
        result != nullptr && result != PTHREAD_CANCELED && std::strcmp(static_cast<char *>(result), "0") == 0,
        "the check thread ended with %s",
        result == PTHREAD_CANCELED ? "the cancelled marker" : "another result");
    FUZZ_CHECK(fake::count_calls("bmc_SetZelvarinStatus", "1,0x82") == (s.bmcinit == 0 ? 1 : 0),
               "the exit status was sent %d times", fake::count_calls("bmc_SetZelvarinStatus", "1,0x82"));
    if (s.bmcinit != 0) {
        for (const std::string &name : fake::call_names()) {
            FUZZ_CHECK(name.rfind("bmc_", 0) != 0, "%s called without a usable BMC", name.c_str());
        }
    }
    check_run(s, table.get());
    return 0;
}
