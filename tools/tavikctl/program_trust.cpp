// SPDX-License-Identifier: GPL-3.0-or-later
// The walk from "/" to a program, one folder descriptor at a time (openat with
// O_NOFOLLOW), as the configuration's own checks look at the descriptor they read.
#include "program_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <stdexcept>

namespace tavikctl {

namespace {

// Links followed on one walk before it is given up, as the kernel's own limit.
constexpr int kMaxLinks = 40;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(-1); }
    void reset(int fd) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

std::deque<std::string> components(const std::string &path) {
    std::deque<std::string> out;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t slash = path.find('/', at);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        std::string part = path.substr(at, slash - at);
        if (!part.empty() && part != ".") {
            out.push_back(part);
        }
        at = slash + 1;
    }
    return out;
}

// Empty when st is safe to rely on, else why not.
std::string unsafe(const struct stat &st, bool folder) {
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        return "another user owns it";
    }
    const bool writable = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (writable && !(folder && (st.st_mode & S_ISVTX) != 0)) {
        return folder ? "its group or others may write it and it has no sticky bit"
                      : "its group or others may write it";
    }
    return "";
}

std::string owner_and_mode(const struct stat &st) {
    char text[64];
    (void)std::snprintf(text, sizeof text, "owner uid %u, mode %04o", static_cast<unsigned>(st.st_uid),
                        static_cast<unsigned>(st.st_mode & 07777));
    return text;
}

[[noreturn]] void refuse(const std::string &what, const std::string &path, const std::string &why) {
    throw std::runtime_error(what + " " + path + ": " + why);
}

std::string error_text(int err) {
    char text[128];
    return strerror_r(err, text, sizeof text);  // GNU form: returns the text
}

// "folder /x (owner uid 0, mode 0777): WHY; refused" and the like.
std::string judged(const char *kind, const std::string &at, const struct stat &st, const std::string &why) {
    std::string text = kind;
    text += at;
    text += " (";
    text += owner_and_mode(st);
    text += "): ";
    text += why;
    text += "; refused";
    return text;
}

}  // namespace

int open_trusted_program(const std::string &path, const std::string &what) {
    if (path.empty()) {
        refuse(what, "\"\"", "no path given");
    }
    std::string absolute = path;
    if (path[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) == nullptr) {
            refuse(what, path, "cannot tell the current folder: " + error_text(errno));
        }
        absolute = std::string(cwd) + "/" + path;
    }
    std::deque<std::string> left = components(absolute);
    Fd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string at = "/";  // the folder `dir` is, for messages
    int links = 0;
    struct stat st {};
    if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0) {
        refuse(what, path, "cannot open /: " + error_text(errno));
    }
    if (std::string why = unsafe(st, true); !why.empty()) {
        refuse(what, path, judged("folder ", "/", st, why));
    }
    while (!left.empty()) {
        const std::string name = left.front();
        left.pop_front();
        const bool last = left.empty();
        std::string here = at == "/" ? "" : at;
        here += "/";
        here += name;
        const int flags = last ? O_RDONLY | O_NONBLOCK | O_NOCTTY : O_PATH;
        Fd next(::openat(dir.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0 && (errno == ELOOP || (!last && errno == ENOTDIR))) {
            // A link (O_PATH|O_NOFOLLOW opens one without an error; O_RDONLY refuses it).
            next.reset(::openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        }
        if (next.get() < 0 || ::fstat(next.get(), &st) != 0) {
            refuse(what, path, here + ": " + error_text(errno));
        }
        if (S_ISLNK(st.st_mode)) {
            // Held by `dir`, a folder found safe: only a trusted user could have made it.
            char target[4096];
            ssize_t n = ::readlinkat(dir.get(), name.c_str(), target, sizeof target - 1);
            if (n <= 0 || ++links > kMaxLinks) {
                refuse(what, path, here + ": a symbolic link that cannot be followed; refused");
            }
            target[n] = '\0';
            std::deque<std::string> rest = components(target);
            rest.insert(rest.end(), left.begin(), left.end());
            left = std::move(rest);
            if (target[0] == '/') {
                dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                at = "/";
            }
            continue;
        }
        if (last) {
            if (!S_ISREG(st.st_mode)) {
                refuse(what, path, here + ": not a regular file; refused");
            }
            if (std::string why = unsafe(st, false); !why.empty()) {
                refuse(what, path, judged("", here, st, why));
            }
            // O_NONBLOCK mattered only for the open; reads of a regular file never block.
            ::fcntl(next.get(), F_SETFL, 0);
            return next.release();
        }
        if (!S_ISDIR(st.st_mode)) {
            refuse(what, path, here + ": not a folder");
        }
        if (std::string why = unsafe(st, true); !why.empty()) {
            refuse(what, path, judged("folder ", here, st, why));
        }
        dir.reset(next.release());
        at = name == ".." ? at.substr(0, std::max<std::size_t>(at.rfind('/'), 1)) : here;
    }
    refuse(what, path, "names a folder, not a program");
}

bool is_script(int fd) {
    char head[2] = {};
    return ::pread(fd, head, sizeof head, 0) == 2 && head[0] == '#' && head[1] == '!';
}

void exec_program(int fd, char *const argv[]) {
    if (is_script(fd)) {
        ::fcntl(fd, F_SETFD, 0);  // the interpreter opens the script by /dev/fd/N
    }
    ::fexecve(fd, argv, environ);
}

}  // namespace tavikctl
