// SPDX-License-Identifier: GPL-3.0-or-later
// Owner and mode checks of the files the configuration library reads. A group may write
// them (sites keep configuration in a shared admin group); others may not.
#include "file_trust.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zvrxml {

std::string untrusted(const std::string &path, const struct stat &st) {
    const char *why = nullptr;
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        why = "another user owns it";
    } else if ((st.st_mode & S_IWOTH) != 0) {
        why = "others may write it";
    } else {
        return "";
    }
    char text[128];
    std::snprintf(text, sizeof text, " (owner uid %u, mode %04o): ", static_cast<unsigned>(st.st_uid),
                  static_cast<unsigned>(st.st_mode & 07777));
    return path + text + why + "; refused";
}

std::string untrusted_policy_dir(const std::string &dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return "policy directory " + dir + ": " + std::strerror(errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return "policy directory " + dir + ": " + std::strerror(errno);
    }
    if (std::string why = untrusted(dir, st); !why.empty()) {
        ::close(fd);
        return "policy directory " + why;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> entries(::fdopendir(fd), &::closedir);
    if (!entries) {
        ::close(fd);
        return "policy directory " + dir + ": " + std::strerror(errno);
    }
    // What a later load would read: links followed, as the load follows them.
    while (const dirent *e = ::readdir(entries.get())) {
        std::string name = e->d_name;
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".xml") != 0) {
            continue;
        }
        if (::fstatat(::dirfd(entries.get()), e->d_name, &st, 0) == 0) {
            if (std::string why = untrusted(dir + "/" + name, st); !why.empty()) {
                return "policy " + why;
            }
        }
    }
    return "";
}

}  // namespace zvrxml
