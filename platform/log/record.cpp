// SPDX-License-Identifier: GPL-3.0-or-later
// Record text: timestamps, level names, escaping. The per-thread caches (the formatted
// second, the thread id) are thread_local, and the process id is an atomic refreshed
// in a fork handler, so every function here is safe from any thread without a lock.
#include "record.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstring>
#include <ctime>
#include <mutex>

#include "zvrlog.h"

namespace zvrlog {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// getpid() and gettid() are real system calls; a record needs both, and at a few hundred
// nanoseconds each they would be a visible share of a write. The fork handler keeps the
// cached process id right in a child, and a thread's cached id is taken again whenever
// the process id it was taken under is no longer the current one.
std::atomic<pid_t> g_pid{0};

void refresh_pid() {
    g_pid.store(::getpid(), std::memory_order_relaxed);
}

pid_t current_pid() {
    static std::once_flag once;
    std::call_once(once, [] {
        refresh_pid();
        pthread_atfork(nullptr, nullptr, refresh_pid);
    });
    return g_pid.load(std::memory_order_relaxed);
}

struct ThreadIds {
    pid_t pid = 0;
    pid_t tid = 0;
};

void append_number(std::string &out, long long v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void append_ids(std::string &out) {
    thread_local ThreadIds ids;
    pid_t pid = current_pid();
    if (ids.pid != pid) {
        ids.pid = pid;
        ids.tid = static_cast<pid_t>(::syscall(SYS_gettid));
    }
    append_number(out, ids.pid);
    out.push_back('/');
    append_number(out, ids.tid);
}

// Local time with microseconds and the UTC offset, e.g. 2025-03-07T15:54:02.104233+01:00.
// Converting to local time takes glibc's time-zone lock, so each thread converts once per
// second and reuses the text; offsets only ever change on a whole second.
void append_time(std::string &out) {
    struct Cache {
        time_t sec = -1;
        char date[24] = {};  // "2025-03-07T15:54:02"
        char zone[8] = {};   // "+01:00"
    };
    thread_local Cache cache;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != cache.sec) {
        tm local{};
        localtime_r(&now.tv_sec, &local);
        strftime(cache.date, sizeof cache.date, "%Y-%m-%dT%H:%M:%S", &local);
        char z[8] = {};
        strftime(z, sizeof z, "%z", &local);  // "+0100"
        if (std::strlen(z) == 5) {
            cache.zone[0] = z[0];
            cache.zone[1] = z[1];
            cache.zone[2] = z[2];
            cache.zone[3] = ':';
            cache.zone[4] = z[3];
            cache.zone[5] = z[4];
            cache.zone[6] = '\0';
        } else {
            cache.zone[0] = '\0';
        }
        cache.sec = now.tv_sec;
    }
    out.append(cache.date);
    char frac[8] = {'.'};
    long us = now.tv_nsec / 1000;
    for (int i = 6; i >= 1; --i) {
        frac[i] = static_cast<char>('0' + us % 10);
        us /= 10;
    }
    out.append(frac, 7);
    out.append(cache.zone);
}

void append_level(std::string &out, int level) {
    switch (level) {
        case 1:
            out.append("MAJOR");
            return;  // errors and what an operator must see
        case 2:
            out.append("WARN");
            return;
        case 4:
            out.append("INFO");
            return;
        case 8:
            out.append("DETAIL");
            return;
        case 16:
            out.append("DUMP");
            return;
        case 32:
            out.append("TRACE");
            return;
        case LOG_LEVEL_EVENT:
            out.append("EVENT");
            return;
        default:
            break;
    }
    char buf[16] = {'0', 'x'};
    auto r = std::to_chars(buf + 2, buf + sizeof buf, static_cast<unsigned>(level), 16);
    out.append(buf, r.ptr);
}

std::string_view base_name(const char *file) {
    std::string_view f(file);
    auto slash = f.rfind('/');
    // A path that ends in a slash has no base name: keep it whole rather than print nothing.
    if (slash == std::string_view::npos || slash + 1 == f.size()) {
        return f;
    }
    return f.substr(slash + 1);
}

}  // namespace

void append_escaped(std::string &out, std::string_view s, bool blank_too) {
    std::size_t run = 0;  // start of the current stretch that needs no escape
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        bool plain = c >= 0x20 && c != 0x7f && c != '\\' && !(blank_too && c == ' ');
        if (plain) {
            continue;
        }
        out.append(s.data() + run, i - run);
        run = i + 1;
        out.push_back('\\');
        switch (c) {
            case '\\':
                out.push_back('\\');
                break;
            case '\n':
                out.push_back('n');
                break;
            case '\r':
                out.push_back('r');
                break;
            case '\t':
                out.push_back('t');
                break;
            default:
                out.push_back('x');
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 0xf]);
                break;
        }
    }
    out.append(s.data() + run, s.size() - run);
}

void append_prefix(std::string &out, int level, std::string_view channel, const char *file, int line,
                   const char *func) {
    append_time(out);
    out.push_back(' ');
    append_level(out, level);
    out.push_back(' ');
    append_escaped(out, channel, true);
    out.push_back('[');
    append_ids(out);
    out.append("] ");
    append_escaped(out, file != nullptr ? base_name(file) : std::string_view("-"), true);
    out.push_back(':');
    append_number(out, line);
    out.push_back(' ');
    append_escaped(out, func != nullptr ? std::string_view(func) : std::string_view("-"), true);
    out.append(": ");
}

void append_text(std::string &out, const char *text) {
    if (text == nullptr) {
        return;
    }
    // Look no further than one byte past the limit: a text may be far longer than we write.
    std::size_t len = ::strnlen(text, kMaxText + 1);
    if (len <= kMaxText) {
        append_escaped(out, std::string_view(text, len), false);
        return;
    }
    append_escaped(out, std::string_view(text, kMaxText), false);
    std::size_t rest = std::strlen(text + kMaxText);
    out.append(" [cut: ");
    append_number(out, static_cast<long long>(rest));
    out.append(" more bytes]");
}

std::string notice_line(int level, std::string_view channel, const char *file, int line, const char *func,
                        std::string_view text) {
    std::string out;
    append_prefix(out, level, channel, file, line, func);
    append_escaped(out, text, false);
    out.push_back('\n');
    return out;
}

std::string describe_failure(std::string_view path, std::string_view what, int err) {
    char buf[128];
    const char *reason = strerror_r(err, buf, sizeof buf);  // GNU form: returns the text
    std::string s(path);
    s.append(": ").append(what).append(": ").append(reason);
    return s;
}

}  // namespace zvrlog
