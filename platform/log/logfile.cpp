// SPDX-License-Identifier: GPL-3.0-or-later
// Log files: opening, shared use within the process, appending and rotation. The
// registry of open files has its own mutex; each file's mutex covers its size count, its
// descriptor and its rotation, so lines and rotations of one file are strictly ordered.
#include "logfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

#include "record.h"
#include "zvrlog.h"

namespace zvrlog {
namespace {

using Key = std::tuple<dev_t, ino_t, std::string>;

// Never destroyed: a thread may still write while the process runs its exit handlers.
std::mutex &registry_mutex() {
    static auto *mu = new std::mutex;
    return *mu;
}
std::map<Key, std::weak_ptr<LogFile>> &registry() {
    static auto *files = new std::map<Key, std::weak_ptr<LogFile>>;
    return *files;
}

// O_NOFOLLOW: a link planted under the file's name would send root's lines, and the
// rotation's fresh file, wherever it points.
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC;

std::string owner_and_mode(const struct stat &st) {
    char text[96];
    std::snprintf(text, sizeof text, "owner uid %u, group gid %u, mode %04o",
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid),
                  static_cast<unsigned>(st.st_mode & 07777));
    return text;
}

// Whoever else may create or rename files in the log directory decides what the next
// open or rotation writes to, as logrotate and sshd know: the directory must belong to
// root or this user, and no one else may write it. Empty when it is fine.
std::string untrusted_directory(const std::string &dir, const struct stat &st) {
    std::string why;
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        why = "owned by another user";
    } else if ((st.st_mode & S_IWOTH) != 0) {
        why = "writable by others";
    } else if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0 && st.st_gid != ::getegid()) {
        why = "writable by a group other than root's or this process's";
    } else {
        return "";
    }
    return dir + ": " + why + " (" + owner_and_mode(st) + "); refused as a log directory";
}

// Writes all of [p, p+n); returns 0 or the errno that stopped it, and the bytes written.
int write_all(int fd, const char *p, std::size_t n, std::size_t &written) {
    written = 0;
    while (written < n) {
        ssize_t w = ::write(fd, p + written, n - written);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (w == 0) {
            return EIO;
        }
        written += static_cast<std::size_t>(w);
    }
    return 0;
}

// Opens a log file for appending; refuses anything but a regular file, which also keeps a
// FIFO planted under the file's name from blocking the caller, and a file of more than
// one name: a hard link planted as the log would have root append to the file it names
// (a link to another user's file cannot be made where the kernel protects hard links,
// but one to root's own can).
int open_regular(int dirfd, const std::string &name, const std::string &path, std::string &why) {
    int fd = ::openat(dirfd, name.c_str(), kOpenFlags | O_NONBLOCK, 0640);
    if (fd < 0) {
        if (errno == ELOOP) {
            why = path + ": a symbolic link; refused";
        } else if (errno == ENXIO) {  // a FIFO without a reader
            why = path + ": not a regular file; refused";
        } else {
            why = describe_failure(path, "open", errno);
        }
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = path + ": not a regular file; refused";
        ::close(fd);
        return -1;
    }
    if (st.st_nlink > 1) {
        why = path + ": a hard link (" + std::to_string(st.st_nlink) + " names); refused";
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);  // clears O_NONBLOCK
    return fd;
}

// A POSIX record lock on the whole file, between processes (threads of this process are
// already ordered by the file's mutex). Not flock: a child forked while the file was open
// shares the parent's open file description, and flock does not exclude its sharers.
void lock_whole(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    while (::fcntl(fd, F_SETLKW, &fl) != 0 && errno == EINTR) {
    }
}

}  // namespace

LogFile::LogFile(int dirfd, int fd, std::string path, std::string name, std::string label, long limit,
                 unsigned long long size)
    : dirfd_(dirfd),
      fd_(fd),
      path_(std::move(path)),
      name_(std::move(name)),
      label_(std::move(label)),
      limit_(limit),
      size_(size) {}

LogFile::~LogFile() {
    if (dirfd_ >= 0) {
        ::close(fd_);
        ::close(dirfd_);
    }
}

std::shared_ptr<LogFile> LogFile::open(int dirfd, const std::string &dir, const std::string &name,
                                       std::string_view label, long limit, std::string &why) {
    std::string path = dir + "/" + name;
    struct stat dst {};
    if (::fstat(dirfd, &dst) != 0) {
        why = describe_failure(dir, "stat", errno);
        return nullptr;
    }
    if (why = untrusted_directory(dir, dst); !why.empty()) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(registry_mutex());
    auto &files = registry();
    Key key{dst.st_dev, dst.st_ino, name};
    if (auto it = files.find(key); it != files.end()) {
        if (auto shared = it->second.lock()) {
            return shared;
        }
    }
    std::erase_if(files, [](const auto &entry) { return entry.second.expired(); });
    int fd = open_regular(dirfd, name, path, why);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    ::fstat(fd, &st);
    int own_dirfd = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    if (own_dirfd < 0) {
        why = describe_failure(dir, "dup", errno);
        ::close(fd);
        return nullptr;
    }
    std::shared_ptr<LogFile> file(new LogFile(own_dirfd, fd, path, name, std::string(label), limit,
                                              static_cast<unsigned long long>(st.st_size)));
    files[key] = file;
    return file;
}

std::shared_ptr<LogFile> LogFile::standard_error() {
    static auto *file =
        new std::shared_ptr<LogFile>(new LogFile(-1, STDERR_FILENO, "standard error", "", "stderr", 0, 0));
    return *file;
}

int LogFile::append(std::string_view line) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!is_standard_error()) {
        follow_locked();
    }
    if (limit_ > 0 && size_ > 0 && size_ + line.size() > static_cast<unsigned long long>(limit_)) {
        rotate_locked();
    }
    std::size_t written = 0;
    int err = write_all(fd_, line.data(), line.size(), written);
    size_ += written;
    if (err == 0) {
        failing_ = false;
        return ZVRLOG_OK;
    }
    if (is_standard_error()) {
        return ZVRLOG_E_WRITE;
    }
    if (!failing_) {
        failing_ = true;
        std::string why = describe_failure(path_, "write", err) + "; records go to standard error";
        std::string notice = notice_line(2, label_, __FILE__, __LINE__, "log_write", why);
        write_all(STDERR_FILENO, notice.data(), notice.size(), written);
    }
    write_all(STDERR_FILENO, line.data(), line.size(), written);
    return ZVRLOG_E_WRITE;
}

void LogFile::sync() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!is_standard_error()) {
        ::fdatasync(fd_);
    }
}

// Once a second, a look at what else happened to the file: its true size (another process
// may append to it too) and whether NAME is still this file. When someone else has
// rotated or removed it (another process, logrotate, an operator), lines would go on into
// a renamed or deleted file, so NAME is opened afresh.
void LogFile::follow_locked() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (now.tv_sec == checked_sec_) {
        return;
    }
    checked_sec_ = now.tv_sec;
    struct stat mine {};
    struct stat current {};
    if (::fstat(fd_, &mine) == 0) {
        size_ = static_cast<unsigned long long>(mine.st_size);
    }
    if (::fstatat(dirfd_, name_.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
        current.st_dev == mine.st_dev && current.st_ino == mine.st_ino) {
        return;
    }
    std::string why;
    int fd = open_regular(dirfd_, name_, path_, why);
    if (fd < 0) {
        return;  // keep the old file: the lines stay readable there, and the next second retries
    }
    ::close(fd_);
    fd_ = fd;
    if (::fstat(fd_, &current) == 0) {
        size_ = static_cast<unsigned long long>(current.st_size);
    }
}

// NAME.4 -> NAME.5, ..., NAME -> NAME.1, then a fresh NAME. The write lock on the
// current file makes another process that writes the same file wait, and a writer that
// finds NAME no longer to be the file it holds knows that someone else has rotated: it
// only opens the new NAME. A line written to the old file in the meantime lands in
// NAME.1, whole. When a step fails, the file keeps its descriptor and rotation stops,
// with a notice in the file: a log that grows is better than one that loses lines.
void LogFile::rotate_locked() {
    lock_whole(fd_, F_WRLCK);
    struct stat mine {};
    struct stat current {};
    ::fstat(fd_, &mine);
    bool moved = ::fstatat(dirfd_, name_.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0 ||
                 current.st_dev != mine.st_dev || current.st_ino != mine.st_ino;
    std::string why;
    if (!moved) {
        for (int k = kGenerations - 1; k >= 0 && why.empty(); --k) {
            std::string from = k == 0 ? name_ : name_ + "." + std::to_string(k);
            std::string to = name_ + "." + std::to_string(k + 1);
            if (::renameat(dirfd_, from.c_str(), dirfd_, to.c_str()) != 0 && (errno != ENOENT || k == 0)) {
                why = describe_failure(path_.substr(0, path_.size() - name_.size()) + from, "rename", errno);
            }
        }
    }
    int fd = why.empty() ? open_regular(dirfd_, name_, path_, why) : -1;
    lock_whole(fd_, F_UNLCK);
    if (fd < 0) {
        limit_ = 0;
        report_locked("rotation failed: " + why + "; rotation is off and this file grows on");
        return;
    }
    ::close(fd_);
    fd_ = fd;
    struct stat st {};
    ::fstat(fd_, &st);
    size_ = static_cast<unsigned long long>(st.st_size);
}

void LogFile::report_locked(const std::string &what) {
    std::string notice = notice_line(2, label_, __FILE__, __LINE__, "log_write", what);
    std::size_t written = 0;
    write_all(fd_, notice.data(), notice.size(), written);
    size_ += written;
}

}  // namespace zvrlog
