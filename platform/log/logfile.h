// SPDX-License-Identifier: GPL-3.0-or-later
// One append-only log file with size-based rotation (NAME to NAME.1 ... NAME.5), or
// standard error. Every handle of the process that opens the same file shares one
// LogFile, so rotation is decided in one place. A LogFile is safe to use from any
// number of threads: a mutex covers the size count, the rotation and the one write of a
// line. Another process writing the same file, or moving it away, is noticed at
// rotation time and at least once a second (see follow_locked and rotate_locked).
#ifndef TAVIK_PLATFORM_LOG_LOGFILE_H
#define TAVIK_PLATFORM_LOG_LOGFILE_H

#include <sys/types.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace zvrlog {

// Generations kept beside the current file: NAME.1 (newest) to NAME.5 (oldest).
inline constexpr int kGenerations = 5;
// Smallest rotation size taken from a caller; below it a file would rotate on nearly
// every line and the generations would hold almost nothing.
inline constexpr long kMinRotateSize = 4096;

class LogFile {
  public:
    // The file `name` in the directory open as `dirfd` (spelled `dir` in messages),
    // created with mode 0640 if missing, rotated when a line would take it past `limit`
    // bytes (0: never). `label` names the file's writer in the library's own notices.
    // If the process already has the file open, that LogFile is returned and its limit
    // stays. On failure returns null and puts the reason, naming the path, in `why`.
    static std::shared_ptr<LogFile> open(int dirfd, const std::string &dir, const std::string &name,
                                         std::string_view label, long limit, std::string &why);

    // The process's standard error, shared by every channel that falls back to it.
    static std::shared_ptr<LogFile> standard_error();

    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;
    ~LogFile();

    // Appends one whole line (newline included) with one write(2). A line the file
    // refuses goes to standard error, after a notice naming the file and the reason at the
    // first refusal of a run. Returns ZVRLOG_OK or ZVRLOG_E_WRITE.
    int append(std::string_view line);

    // Forces what has been written to the disk (nothing for standard error).
    void sync();

    bool is_standard_error() const { return dirfd_ < 0; }

  private:
    LogFile(int dirfd, int fd, std::string path, std::string name, std::string label, long limit,
            unsigned long long size);

    void follow_locked();
    void rotate_locked();
    void report_locked(const std::string &what);

    std::mutex mu_;
    const int dirfd_;  // -1 for standard error
    int fd_;
    const std::string path_;  // for messages
    const std::string name_;  // in dirfd_
    const std::string label_;
    long limit_;
    unsigned long long size_;
    bool failing_ = false;    // the last line went to standard error
    time_t checked_sec_ = 0;  // monotonic second of the last follow_locked look
};

}  // namespace zvrlog

#endif
