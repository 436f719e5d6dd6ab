// SPDX-License-Identifier: GPL-3.0-or-later
// The C entry points of libzvrlog: a channel is a name, a threshold level, its file (or
// standard error) and the directory's event log. A channel is immutable after log_init,
// so log_write needs no lock of its own; the files serialise their writers. log_init and
// log_term may run while other channels write; log_term must not race log_write on the
// same handle. No exception leaves an entry point: each calls a noexcept function that
// maps any failure to a result code.
#include "zvrlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "catalogue.h"
#include "logfile.h"
#include "record.h"

#define ZVRLOG_API __attribute__((visibility("default")))

namespace zvrlog {
namespace {

constexpr const char *kDefaultDir = "/var/log/tavik";
constexpr const char *kEventLog = "event.log";
constexpr long kEventLogSize = 1000000;
constexpr std::size_t kMaxName = 64;

struct Channel {
    std::string name;
    int level = 0;
    std::shared_ptr<LogFile> file;
    std::shared_ptr<LogFile> events;  // null when the channel writes to standard error
};

// A channel name becomes a file name: letters, digits, '.', '_' and '-', not starting
// with a dot, and not "event", whose file is the event log itself.
bool valid_name(const char *name) {
    if (name == nullptr || name[0] == '\0' || name[0] == '.') {
        return false;
    }
    std::string_view n(name, ::strnlen(name, kMaxName + 1));
    if (n.size() > kMaxName || n == "event") {
        return false;
    }
    for (char c : n) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Opens `dir`, creating it and any missing parent with mode 0750; -1 with the reason.
int open_directory(const std::string &dir, std::string &why) {
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') {
            continue;
        }
        std::string prefix = dir.substr(0, pos);
        if (::mkdir(prefix.c_str(), 0750) != 0 && errno != EEXIST) {
            why = describe_failure(prefix, "mkdir", errno);
            return -1;
        }
    }
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        why = describe_failure(dir, "open", errno);
    }
    return fd;
}

std::string log_dir() {
    // Read once per log_init, before the caller's threads write; nothing here sets it.
    const char *env = std::getenv("TAVIK_LOG_DIR");  // NOLINT(concurrency-mt-unsafe)
    return env != nullptr && env[0] != '\0' ? std::string(env) : std::string(kDefaultDir);
}

int init(const char *name, void **handle, int level, int size, int flags) noexcept {
    try {
        if (handle == nullptr) {
            return ZVRLOG_E_ARG;
        }
        *handle = nullptr;
        if (!valid_name(name) || flags != 0) {
            return ZVRLOG_E_ARG;
        }
        auto ch = std::make_unique<Channel>();
        ch->name = name;
        ch->level = level;
        long limit = size <= 0 ? 0 : std::max<long>(size, kMinRotateSize);

        std::vector<std::pair<int, std::string>> notices;  // level, text
        std::string dir = log_dir();
        std::string why;
        int dirfd = open_directory(dir, why);
        if (dirfd >= 0) {
            ch->file = LogFile::open(dirfd, dir, ch->name + ".log", ch->name, limit, why);
            if (ch->file) {
                std::string event_why;
                ch->events = LogFile::open(dirfd, dir, kEventLog, "event", kEventLogSize, event_why);
                if (!ch->events) {
                    notices.emplace_back(2, "event log unusable: " + event_why +
                                                "; events go to this channel and syslog only");
                }
            }
            ::close(dirfd);
        }
        int rc = ZVRLOG_OK;
        if (!ch->file) {
            ch->file = LogFile::standard_error();
            // The first notice: the event log notice comes only with an open channel file.
            notices.emplace_back(2, "channel " + ch->name + " writes to standard error: " + why);
            rc = ZVRLOG_E_FALLBACK;
        }
        if (size <= 0) {
            notices.emplace_back(
                4, "rotation size " + std::to_string(size) + ": " + ch->name + ".log is never rotated");
        } else if (size < kMinRotateSize) {
            notices.emplace_back(2, "rotation size " + std::to_string(size) +
                                        " is below the minimum: " + ch->name + ".log rotates at " +
                                        std::to_string(kMinRotateSize) + " bytes");
        }
        if (level <= 0) {
            notices.emplace_back(
                2, "channel level " + std::to_string(level) + ": trace records are not written, events are");
        }
        for (const auto &[notice_level, text] : notices) {
            ch->file->append(notice_line(notice_level, ch->name, __FILE__, __LINE__, "log_init", text));
        }
        *handle = ch.release();
        return rc;
    } catch (...) {
        return ZVRLOG_E_INTERNAL;
    }
}

// The one rule of which trace records a channel writes.
bool writes_trace(const Channel &ch, int level) noexcept {
    return level > 0 && level <= ch.level;
}

int write_record(void *handle, int level, int msgid, const char *file, int line, const char *func,
                 const char *text, va_list ap) noexcept {
    auto *ch = static_cast<Channel *>(handle);
    if (ch == nullptr) {
        return ZVRLOG_E_ARG;
    }
    bool event = level == LOG_LEVEL_EVENT;
    if (!event) {
        if (level <= 0) {
            return ZVRLOG_E_ARG;
        }
        if (!writes_trace(*ch, level)) {
            return ZVRLOG_OK;  // below the channel's threshold: the cheap path
        }
    }
    try {
        // One buffer per thread: a record then costs no allocation once the buffer has grown.
        thread_local std::string buf;
        buf.clear();
        append_prefix(buf, level, ch->name, file, line, func);
        if (!event) {
            append_text(buf, text);
            buf.push_back('\n');
            int rc = ch->file->append(buf);
            if (buf.capacity() > 65536) {
                std::string().swap(buf);  // a rare huge record should not pin its memory
            }
            return rc;
        }
        std::size_t text_at = buf.size();
        int priority = append_event(buf, msgid, ap);
        syslog(LOG_DAEMON | priority, "%s", buf.c_str() + text_at);
        buf.push_back('\n');
        int rc = ch->file->append(buf);
        if (ch->events) {
            int event_rc = ch->events->append(buf);
            rc = rc != ZVRLOG_OK ? rc : event_rc;
        }
        return rc;
    } catch (...) {
        return ZVRLOG_E_INTERNAL;
    }
}

int term(void *handle) noexcept {
    auto *ch = static_cast<Channel *>(handle);
    if (ch == nullptr) {
        return ZVRLOG_E_ARG;
    }
    ch->file->sync();
    if (ch->events) {
        ch->events->sync();
    }
    delete ch;
    return ZVRLOG_OK;
}

}  // namespace
}  // namespace zvrlog

// The declarations are C and carry no noexcept; these bodies call only noexcept functions,
// so nothing can escape them.
extern "C" ZVRLOG_API int log_init(const char *name, void **handle, int level, int size, int flags) {
    return zvrlog::init(name, handle, level, size, flags);
}

extern "C" ZVRLOG_API int log_write(void *handle, int level, int msgid, const char *file, int line,
                                    const char *func, const char *text, ...) {
    va_list ap;
    va_start(ap, text);
    int rc = zvrlog::write_record(handle, level, msgid, file, line, func, text, ap);
    va_end(ap);
    return rc;
}

extern "C" ZVRLOG_API int log_enabled(void *handle, int level) {
    const auto *ch = static_cast<const zvrlog::Channel *>(handle);
    return ch != nullptr && zvrlog::writes_trace(*ch, level) ? 1 : 0;
}

extern "C" ZVRLOG_API int log_term(void *handle) {
    return zvrlog::term(handle);
}
