// SPDX-License-Identifier: GPL-3.0-or-later
// Kept whole past 500 lines: every case shares the fixture's log directory and
// environment.
// Tests of libzvrlog through its C entry points, against real files in a directory of
// the test's own (TAVIK_LOG_DIR), removed afterwards. Each test sets the environment
// before any of its threads start.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zvrlog.h"

namespace fs = std::filesystem;

namespace {

struct Record {
    std::string time, level, name, file, func, text;
    long pid = 0, tid = 0, line = 0;
};

// Parses "TIME LEVEL NAME[PID/TID] FILE:LINE FUNC: TEXT"; false for anything else.
bool parse(const std::string &s, Record &r) {
    std::istringstream in(s);
    std::string ids, where, func;
    if (!(in >> r.time >> r.level >> ids >> where >> func) || func.back() != ':' || in.get() != ' ') {
        return false;
    }
    std::getline(in, r.text);
    r.func = func.substr(0, func.size() - 1);
    auto open = ids.find('['), slash = ids.find('/'), colon = where.rfind(':');
    if (open == std::string::npos || slash == std::string::npos || ids.back() != ']' ||
        colon == std::string::npos) {
        return false;
    }
    r.name = ids.substr(0, open);
    r.pid = std::stol(ids.substr(open + 1));
    r.tid = std::stol(ids.substr(slash + 1));
    r.file = where.substr(0, colon);
    r.line = std::stol(where.substr(colon + 1));
    // 2025-03-07T15:54:02.104233+01:00
    return r.time.size() == 32 && r.time[10] == 'T' && r.time[19] == '.' && r.time[29] == ':' &&
           r.time.find_first_not_of("0123456789", 20) == 26;
}

// Every line of a file, each of which must be a whole record.
std::vector<Record> records(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream whole;
    whole << in.rdbuf();
    const std::string all = whole.str();
    EXPECT_TRUE(all.empty() || all.back() == '\n') << path << " ends inside a record";
    std::vector<Record> out;
    std::istringstream lines(all);
    for (std::string l; std::getline(lines, l);) {
        Record r;
        EXPECT_TRUE(parse(l, r)) << path << ": torn or malformed: " << l;
        out.push_back(r);
    }
    return out;
}

// The records the caller wrote (not the library's own notices from log_init).
std::vector<Record> written(const fs::path &path) {
    std::vector<Record> out;
    for (auto &r : records(path)) {
        if (r.func != "log_init") {
            out.push_back(r);
        }
    }
    return out;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / ("zvrlog-" + std::to_string(getpid()) + "-XXXXXX"));
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        setenv("TAVIK_LOG_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        for (void *h : open_) {
            log_term(h);
        }
        unsetenv("TAVIK_LOG_DIR");
        fs::remove_all(dir_);
    }
    void *open(const char *name, int level, int size, int expect = ZVRLOG_OK) {
        void *h = nullptr;
        EXPECT_EQ(log_init(name, &h, level, size, 0), expect);
        EXPECT_NE(h, nullptr);
        open_.push_back(h);
        return h;
    }
    void close(void *h) {
        std::erase(open_, h);
        EXPECT_EQ(log_term(h), ZVRLOG_OK);
    }
    // Oldest first: NAME.log.5 ... NAME.log.1, NAME.log; each within `limit` bytes.
    std::vector<Record> all_generations(const std::string &name, long limit) {
        std::vector<Record> out;
        for (int k = 6; k >= 0; --k) {
            std::string file = name + ".log";
            if (k != 0) {
                file += '.';
                file += std::to_string(k);
            }
            fs::path p = dir_ / file;
            if (!fs::exists(p)) {
                continue;
            }
            EXPECT_LE(static_cast<long>(fs::file_size(p)), limit) << p;
            auto r = written(p);
            out.insert(out.end(), r.begin(), r.end());
        }
        return out;
    }
    fs::path dir_;
    std::vector<void *> open_;
};

TEST_F(LogTest, ThresholdKeepsLevelsAtMostTheChannelLevelAndEveryEvent) {
    struct Case {
        int channel;
        std::vector<std::string> kept;
    };
    const std::vector<Case> cases = {
        {-1, {}},
        {0, {}},
        {1, {"MAJOR"}},
        {4, {"MAJOR", "WARN", "INFO"}},
        {5, {"MAJOR", "WARN", "INFO"}},
        {63, {"MAJOR", "WARN", "INFO", "DETAIL", "DUMP", "TRACE"}},
    };
    for (const auto &c : cases) {
        std::string name = "thr" + std::to_string(c.channel + 1);
        void *h = open(name.c_str(), c.channel, 1000000);
        int enabled = 0;
        for (int level : {1, 2, 4, 8, 16, 32}) {
            EXPECT_EQ(log_write(h, level, 0, "t.cpp", level, "f", "text"), ZVRLOG_OK);
            enabled += log_enabled(h, level);
        }
        EXPECT_EQ(log_enabled(h, 0), 0);
        EXPECT_EQ(log_enabled(h, -4), 0);
        log_write(h, LOG_LEVEL_EVENT, LOG_EVENT_BMC_INIT_FAILED, "t.cpp", 1, "main", nullptr);
        std::vector<std::string> got;
        for (auto &r : written(dir_ / (name + ".log"))) {
            got.push_back(r.level);
        }
        auto want = c.kept;
        EXPECT_EQ(enabled, static_cast<int>(want.size()))
            << "log_enabled disagrees, channel level " << c.channel;
        want.push_back("EVENT");
        EXPECT_EQ(got, want) << "channel level " << c.channel;
    }
    EXPECT_EQ(log_enabled(nullptr, 1), 0);
}

TEST_F(LogTest, RecordCarriesTimeLevelIdsSourceAndText) {
    void *h = open("tavik", 63, 1000000);
    log_write(h, 4, 0, "/build/src/tavik/main.cpp", 142, "main", "tavik starting");
    log_write(h, 1, 0, nullptr, -1, nullptr, nullptr);
    log_write(h, 3, 0, "x.cpp", 7, "g", " leading blank");
    auto r = written(dir_ / "tavik.log");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].level, "INFO");
    EXPECT_EQ(r[0].name, "tavik");
    EXPECT_EQ(r[0].pid, getpid());
    EXPECT_EQ(r[0].tid, syscall(SYS_gettid));
    EXPECT_EQ(r[0].file, "main.cpp");
    EXPECT_EQ(r[0].line, 142);
    EXPECT_EQ(r[0].func, "main");
    EXPECT_EQ(r[0].text, "tavik starting");
    EXPECT_EQ(r[1].file + "|" + r[1].func + "|" + r[1].text, "-|-|");
    EXPECT_EQ(r[1].line, -1);
    EXPECT_EQ(r[2].level, "0x3");
    EXPECT_EQ(r[2].text, " leading blank");
}

TEST_F(LogTest, ControlCharactersAreEscapedInEveryField) {
    struct Case {
        const char *file, *func, *text;
        const char *want_file, *want_func, *want_text;
    };
    const Case cases[] = {
        {"a.cpp", "f", "one\ntwo", "a.cpp", "f", "one\\ntwo"},
        {"a.cpp", "f", "x\r\t\x01\x1b[31m\x7f", "a.cpp", "f", "x\\r\\t\\x01\\x1b[31m\\x7f"},
        {"a.cpp", "f", "back\\slash \xc3\xa9", "a.cpp", "f", "back\\\\slash \xc3\xa9"},
        {"my file\n.cpp", "f g\n2025-01-01T00:00:00.000000+00:00 ERROR", "t", "my\\x20file\\n.cpp",
         "f\\x20g\\n2025-01-01T00:00:00.000000+00:00\\x20ERROR", "t"},
    };
    void *h = open("esc", 4, 0);
    for (const auto &c : cases) {
        log_write(h, 1, 0, c.file, 1, c.func, c.text);
    }
    auto r = written(dir_ / "esc.log");
    ASSERT_EQ(r.size(), std::size(cases));
    for (std::size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i].file, cases[i].want_file);
        EXPECT_EQ(r[i].func, cases[i].want_func);
        EXPECT_EQ(r[i].text, cases[i].want_text);
    }
}

TEST_F(LogTest, LongTextIsWrittenWholeUpToTheLimitAndCutBeyond) {
    void *h = open("long", 4, 0);
    std::string whole(10000, 'x'), huge(65536 + 10, 'y');
    log_write(h, 1, 0, "a.cpp", 1, "f", whole.c_str());
    log_write(h, 1, 0, "a.cpp", 1, "f", huge.c_str());
    auto r = written(dir_ / "long.log");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].text, whole);
    EXPECT_EQ(r[1].text, std::string(65536, 'y') + " [cut: 10 more bytes]");
}

// Strings here are appended piece by piece: GCC 12 at -O3 wrongly sees overlapping
// copies (-Wrestrict) in chains of string operator+.

// A record's text: its writer, its number, and filler derived from both, so that any
// torn or mixed-up line shows.
std::string payload(int writer, int seq, std::size_t filler) {
    std::string s = "w";
    s += std::to_string(writer);
    s += " seq ";
    s += std::to_string(seq);
    s += ' ';
    for (std::size_t i = 0; i < filler; ++i) {
        s.push_back(static_cast<char>('a' + (writer * 7 + seq + i) % 26));
    }
    return s;
}

// Every writer's records are all there, each exactly once and in its writer's order.
void expect_complete(const std::vector<Record> &recs, int writers, int per_writer, std::size_t filler) {
    std::vector<int> next(writers, 0);
    for (const auto &r : recs) {
        int w = -1, seq = -1;
        ASSERT_EQ(std::sscanf(r.text.c_str(), "w%d seq %d", &w, &seq), 2) << r.text;
        ASSERT_TRUE(w >= 0 && w < writers) << r.text;
        EXPECT_EQ(seq, next[w]) << "writer " << w;
        EXPECT_EQ(r.text, payload(w, seq, filler));
        next[w] = seq + 1;
    }
    for (int w = 0; w < writers; ++w) {
        EXPECT_EQ(next[w], per_writer) << "writer " << w;
    }
}

TEST_F(LogTest, RotationAtTheSizeLimitKeepsFiveGenerationsWholeAndInOrder) {
    struct Case {
        int records;
        int generations;  // expected NAME.log.N files
        bool all_kept;
    };
    // 150 records fit the generations (nothing may be missing); 1000 do not (the newest stay).
    for (const Case c : {Case{150, 4, true}, Case{1000, 5, false}}) {
        std::string name = "rot" + std::to_string(c.records);
        void *h = open(name.c_str(), 4, 4096);
        for (int i = 0; i < c.records; ++i) {
            log_write(h, 1, 0, "a.cpp", 1, "f", payload(0, i, 20 + i % 40).c_str());
        }
        EXPECT_TRUE(fs::exists(dir_ / (name + ".log." + std::to_string(c.generations))));
        EXPECT_FALSE(fs::exists(dir_ / (name + ".log." + std::to_string(c.generations + 1))));
        std::vector<Record> recs = all_generations(name, 4096);
        int first = c.records - static_cast<int>(recs.size());
        if (c.all_kept) {
            EXPECT_EQ(first, 0);
        }
        ASSERT_GE(recs.size(), std::min(c.records, 5 * (4096 - 160) / 160));  // five full files at least
        for (std::size_t i = 0; i < recs.size(); ++i) {
            int seq = first + static_cast<int>(i);
            EXPECT_EQ(recs[i].text, payload(0, seq, 20 + seq % 40));
        }
    }
}

TEST_F(LogTest, ThreeThreadsWriteEveryRecordWhole) {
    struct Case {
        int size, per_thread;
        std::size_t filler;
    };
    // Without rotation, many records; with it, few large ones that still fit the generations.
    for (const Case c : {Case{0, 2000, 40}, Case{4096, 20, 250}}) {
        std::string name = "mt" + std::to_string(c.size);
        void *h = open(name.c_str(), 4, c.size);
        std::vector<std::thread> threads;
        for (int w = 0; w < 3; ++w) {
            threads.emplace_back([=] {
                for (int i = 0; i < c.per_thread; ++i) {
                    log_write(h, 1 << (i % 3), 0, "mt.cpp", i, "writer", payload(w, i, c.filler).c_str());
                }
            });
        }
        for (auto &t : threads) {
            t.join();
        }
        expect_complete(all_generations(name, c.size > 0 ? c.size : 1L << 30), 3, c.per_thread, c.filler);
    }
}

TEST_F(LogTest, HandlesOnOneChannelShareItsFileAndRotation) {
    void *a = open("shared", 4, 4096);
    void *b = open("shared", 1, 4096);
    for (int i = 0; i < 100; ++i) {
        log_write(i % 2 ? b : a, 1, 0, "a.cpp", 1, "f", payload(0, i, 60).c_str());
    }
    expect_complete(all_generations("shared", 4096), 1, 100, 60);
}

// Two processes on one file: each notices the other's rotations instead of renaming the
// generations again or writing on into a file that is gone.
TEST_F(LogTest, TwoProcessesRotatingOneFileLoseNothing) {
    void *h = open("proc", 4, 4096);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    int writer = child == 0 ? 1 : 0;
    char c = 0;
    if (child == 0 ? read(go[0], &c, 1) != 1 : write(go[1], &c, 1) != 1) {
        _exit(3);
    }
    for (int i = 0; i < 100; ++i) {
        log_write(h, 1, 0, "p.cpp", 1, "f", payload(writer, i, 10).c_str());
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // interleave the two
    }
    if (child == 0) {
        _exit(0);
    }
    ::close(go[0]);
    ::close(go[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A rotation is done once: every older generation was full when it was rotated.
    for (int k = 1; fs::exists(dir_ / ("proc.log." + std::to_string(k))); ++k) {
        EXPECT_GE(fs::file_size(dir_ / ("proc.log." + std::to_string(k))), 4096u - 100) << k;
    }
    EXPECT_TRUE(fs::exists(dir_ / "proc.log.2"));
    expect_complete(all_generations("proc", 1L << 20), 2, 100, 10);
}

// logrotate or an operator moving the file away: the channel opens a new one.
TEST_F(LogTest, FileMovedAwayIsOpenedAfreshWithinASecond) {
    void *h = open("moved", 4, 1000000);
    log_write(h, 1, 0, "a.cpp", 1, "f", payload(0, 0, 10).c_str());
    fs::rename(dir_ / "moved.log", dir_ / "moved.log.old");
    log_write(h, 1, 0, "a.cpp", 1, "f", payload(0, 1, 10).c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    log_write(h, 1, 0, "a.cpp", 1, "f", payload(0, 2, 10).c_str());
    auto now = written(dir_ / "moved.log");
    ASSERT_FALSE(now.empty());
    EXPECT_EQ(now.back().text, payload(0, 2, 10));
    auto recs = written(dir_ / "moved.log.old");
    recs.insert(recs.end(), now.begin(), now.end());
    expect_complete(recs, 1, 3, 10);
}

TEST_F(LogTest, EventsGoToTheChannelAndTheEventLogWithTheirParameters) {
    void *h = open("tavik", 0, 1000000);
    long tckconf = 100;
    unsigned long long diffcl = 7305;
    log_write(h, LOG_LEVEL_EVENT, LOG_EVENT_BMC_INIT_FAILED, "main.cpp", 310, "main", nullptr);
    log_write(h, LOG_LEVEL_EVENT, LOG_EVENT_HEARTBEAT_DELAY, "hbdata.cpp", 88, "delaywarn", nullptr, "hb1",
              "node\n2", 90, tckconf, diffcl, 80);
    log_write(h, LOG_LEVEL_EVENT, LOG_EVENT_HEARTBEAT_DELAY, "hbdata.cpp", 88, "delaywarn", nullptr, "hb1",
              static_cast<const char *>(nullptr), 2147483647, 0L, 18446744073709551615ULL, 0);
    log_write(h, LOG_LEVEL_EVENT, 99, "x.cpp", 1, "f", nullptr, "SHOULD-NOT-BE-READ");
    auto channel = written(dir_ / "tavik.log");
    auto events = records(dir_ / "event.log");
    ASSERT_EQ(channel.size(), 4u);
    ASSERT_EQ(events.size(), 4u);
    const char *want[] = {
        "[10] the BMC library or the BMC could not be initialised: this node runs without BMC heartbeat "
        "checking",
        "[71] heartbeat delay: rsc(hb1)/node(node\\n2): 73.05 s (7305 ticks at 100 per second) between two "
        "heartbeats reached 80% of the time-out of 90 s",
        "[71] heartbeat delay: rsc(hb1)/node((null)): 18446744073709551615 ticks (clock rate 0 per second) "
        "between two heartbeats reached 0% of the time-out of 2147483647 s",
        "[99] unknown event message (no catalogue entry: parameters not read)",
    };
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(channel[i].level, "EVENT");
        EXPECT_EQ(channel[i].text, want[i]);
        EXPECT_EQ(events[i].text, want[i]);
        EXPECT_EQ(events[i].name, "tavik");
        EXPECT_EQ(events[i].func, channel[i].func);
    }
}

TEST_F(LogTest, UnusableDirectoryOrFileFallsBackToStandardErrorSayingWhy) {
    std::ofstream(dir_ / "plain") << "x";
    fs::create_directory(dir_ / "d");
    fs::create_directory(dir_ / "d" / "c.log");
    fs::create_directory(dir_ / "f");
    ASSERT_EQ(mkfifo((dir_ / "f" / "c.log").c_str(), 0600), 0);
    // A link planted as the file, a directory others may write, one another user owns.
    fs::create_directory(dir_ / "l");
    fs::create_symlink(dir_ / "plain", dir_ / "l" / "c.log");
    fs::create_directory(dir_ / "w");
    fs::permissions(dir_ / "w", fs::perms::all);
    fs::create_directory(dir_ / "o");
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown((dir_ / "o").c_str(), 65534, 65534), 0);
    }
    struct Case {
        fs::path dir;
        std::string reason;
    };
    const Case cases[] = {
        {dir_ / "plain", "Not a directory"},
        {dir_ / "plain" / "sub", "mkdir: Not a directory"},
        {dir_ / "d", "c.log: open: Is a directory"},
        {dir_ / "f", "c.log: not a regular file; refused"},  // a FIFO without reader: no wait
        {dir_ / "l", "c.log: a symbolic link; refused"},
        {dir_ / "w", "writable by others (owner uid"},
        {root ? dir_ / "o" : dir_ / "w", root ? "owned by another user" : "writable by others"},
    };
    for (const auto &c : cases) {
        setenv("TAVIK_LOG_DIR", c.dir.c_str(), 1);
        testing::internal::CaptureStderr();
        void *h = open("c", 4, 1000000, ZVRLOG_E_FALLBACK);
        EXPECT_EQ(log_write(h, 1, 0, "a.cpp", 3, "f", "still here"), ZVRLOG_OK);
        close(h);
        std::string err = testing::internal::GetCapturedStderr();
        std::istringstream lines(err);
        std::string first, second;
        std::getline(lines, first);
        std::getline(lines, second);
        Record r1, r2;
        ASSERT_TRUE(parse(first, r1)) << err;
        ASSERT_TRUE(parse(second, r2)) << err;
        EXPECT_EQ(r1.text.rfind("channel c writes to standard error: " + c.dir.string(), 0), 0u) << r1.text;
        EXPECT_NE(r1.text.find(c.reason), std::string::npos) << r1.text;
        EXPECT_EQ(r2.text, "still here");
    }
    EXPECT_EQ(fs::file_size(dir_ / "plain"), 1u) << "nothing written through the link";
}

TEST_F(LogTest, UnusableEventLogLeavesTheChannelAndSaysSo) {
    fs::create_directory(dir_ / "event.log");
    void *h = open("ch", 4, 1000000);
    log_write(h, LOG_LEVEL_EVENT, LOG_EVENT_BMC_INIT_FAILED, "m.cpp", 1, "main", nullptr);
    auto r = records(dir_ / "ch.log");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].text, "event log unusable: " + (dir_ / "event.log").string() +
                             ": open: Is a directory; events go to this channel and syslog only");
    EXPECT_EQ(r[1].text.substr(0, 5), "[10] ");
}

TEST_F(LogTest, SizeBelowTheMinimumIsRaisedAndZeroMeansNoRotation) {
    void *tiny = open("tiny", 4, 100);
    void *none = open("none", 4, 0);
    for (int i = 0; i < 60; ++i) {
        log_write(tiny, 1, 0, "a.cpp", 1, "f", payload(0, i, 30).c_str());
    }
    for (int i = 0; i < 300; ++i) {
        log_write(none, 1, 0, "a.cpp", 1, "f", payload(0, i, 30).c_str());
    }
    ASSERT_TRUE(fs::exists(dir_ / "tiny.log.1"));
    EXPECT_FALSE(fs::exists(dir_ / "tiny.log.2"));
    EXPECT_LE(fs::file_size(dir_ / "tiny.log"), 4096u);
    EXPECT_EQ(records(dir_ / "tiny.log.1")[0].text,
              "rotation size 100 is below the minimum: tiny.log rotates at 4096 bytes");
    EXPECT_FALSE(fs::exists(dir_ / "none.log.1"));
    EXPECT_GT(fs::file_size(dir_ / "none.log"), 4096u * 5);
    EXPECT_EQ(records(dir_ / "none.log")[0].text, "rotation size 0: none.log is never rotated");
}

TEST_F(LogTest, MissingDirectoryIsCreatedWithItsModes) {
    fs::path nested = dir_ / "a" / "b";
    setenv("TAVIK_LOG_DIR", nested.c_str(), 1);
    mode_t old = umask(022);
    void *h = open("m", 4, 1000000);
    umask(old);
    log_write(h, 1, 0, "a.cpp", 1, "f", "x");
    for (auto [p, mode] : {std::pair{nested, 0750},
                           {dir_ / "a", 0750},
                           {nested / "m.log", 0640},
                           {nested / "event.log", 0640}}) {
        struct stat st {};
        ASSERT_EQ(stat(p.c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_mode & 0777, static_cast<mode_t>(mode)) << p;
    }
}

TEST_F(LogTest, BadArgumentsAreRefusedAndWriteNothing) {
    EXPECT_EQ(log_write(nullptr, 1, 0, "a.cpp", 1, "f", "x"), ZVRLOG_E_ARG);
    EXPECT_EQ(log_write(nullptr, LOG_LEVEL_EVENT, 71, "a.cpp", 1, "f", nullptr), ZVRLOG_E_ARG);
    EXPECT_EQ(log_term(nullptr), ZVRLOG_E_ARG);
    EXPECT_EQ(log_init("x", nullptr, 4, 0, 0), ZVRLOG_E_ARG);
    for (const char *name : {static_cast<const char *>(nullptr), "", ".x", "a/b", "../x", "event", "a b",
                             "very-long-name-very-long-name-very-long-name-very-long-name-very-long"}) {
        void *h = reinterpret_cast<void *>(1);
        EXPECT_EQ(log_init(name, &h, 4, 0, 0), ZVRLOG_E_ARG) << (name ? name : "null");
        EXPECT_EQ(h, nullptr);
    }
    void *h = reinterpret_cast<void *>(1);
    EXPECT_EQ(log_init("x", &h, 4, 0, 1), ZVRLOG_E_ARG);
    EXPECT_EQ(h, nullptr);
    h = open("ok", 63, 1000000);
    EXPECT_EQ(log_write(h, 0, 0, "a.cpp", 1, "f", "x"), ZVRLOG_E_ARG);
    EXPECT_EQ(log_write(h, -4, 0, "a.cpp", 1, "f", "x"), ZVRLOG_E_ARG);
    EXPECT_TRUE(written(dir_ / "ok.log").empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

}  // namespace
