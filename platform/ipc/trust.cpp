// SPDX-License-Identifier: GPL-3.0-or-later
// Owner and mode checks of a namespace's objects. The daemon runs as root and decides
// failovers from what the segments say, so an object made or left writable by anyone
// but the namespace's creator would let that user choose the cluster's states. /dev/shm
// is sticky and world-writable: after a reboot any user can create the names first.
#include "trust.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fault_guard.h"
#include "layout.h"
#include "namespace.h"

namespace zvripc {

namespace {

std::string user_name(uid_t uid) {
    struct passwd entry {};
    struct passwd *found = nullptr;
    std::vector<char> buf(4096);
    if (getpwuid_r(uid, &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return "uid " + std::to_string(uid);
}

std::string group_name(gid_t gid) {
    struct group entry {};
    struct group *found = nullptr;
    std::vector<char> buf(16384);
    if (getgrgid_r(gid, &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        return found->gr_name;
    }
    return "gid " + std::to_string(gid);
}

int refuse(const char *kind, const std::string &object, const struct stat &st, const std::string &why) {
    return fail(ZVRIPC_EPERM, "%s %s (%s) is refused: %s", kind, object.c_str(), describe_owner(st).c_str(),
                why.c_str());
}

}  // namespace

std::string semaphore_file(const std::string &object) {
    return "/dev/shm/sem." + object.substr(1);
}

std::string segment_file(const std::string &object) {
    return "/dev/shm" + object;
}

std::string describe_owner(const struct stat &st) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "owner " + user_name(st.st_uid) + " (" + std::to_string(st.st_uid) + "), group " +
           group_name(st.st_gid) + " (" + std::to_string(st.st_gid) + "), mode " + mode;
}

int check_owner(const char *kind, const std::string &object, const struct stat &st) {
    if (!S_ISREG(st.st_mode)) {
        return refuse(kind, object, st, "it is not a regular file");
    }
    const uid_t self = geteuid();
    if (st.st_uid != 0 && st.st_uid != self) {
        return refuse(kind, object, st,
                      "its owner is neither root nor this process's user (" + user_name(self) + ")");
    }
    if ((st.st_mode & S_IWOTH) != 0) {
        return refuse(kind, object, st, "others may write it");
    }
    return ZVRIPC_OK;
}

int check_group(const char *kind, const std::string &object, const struct stat &st, std::uint32_t group) {
    if ((st.st_mode & S_IWGRP) == 0 || st.st_gid == group) {
        return ZVRIPC_OK;
    }
    return refuse(kind, object, st,
                  "its group may write it, but the namespace was created for " +
                      (group == kNoGroup ? std::string("no group") : "group " + group_name(group)));
}

std::uint32_t recorded_group(const std::string &ns) {
    std::string object = object_names(ns).nm;
    int fd = open_object("segment", object, segment_file(object), O_RDONLY);
    if (fd < 0) {
        clear_error();
        return kNoGroup;
    }
    struct stat st {};
    Prefix prefix{};
    std::uint32_t group = kNoGroup;
    // The owner check keeps out a segment someone else made; its own group check needs
    // the record it carries, which only its owner and that group could have written.
    if (fstat(fd, &st) == 0 && check_owner("segment", object, st) == ZVRIPC_OK &&
        pread(fd, &prefix, sizeof prefix, 0) == static_cast<ssize_t>(sizeof prefix) &&
        prefix.magic == kNmMagic && prefix.version == kVersion &&
        check_group("segment", object, st, prefix.writer_gid) == ZVRIPC_OK) {
        group = prefix.writer_gid;
    }
    close(fd);
    clear_error();
    return group;
}

// sem_open opens the file by name, and nothing about the semaphore it returns can be
// checked afterwards. Mapping the checked descriptor here is what sem_open does inside,
// without the window between a check and its open.
int open_semaphore(const std::string &object, std::uint32_t group, sem_t **sem, int *slot) {
    *sem = nullptr;
    *slot = -1;
    int fd = open_object("semaphore", object, semaphore_file(object), O_RDWR);
    if (fd < 0) {
        return -fd;
    }
    struct stat st {};
    int rc = ZVRIPC_OK;
    if (fstat(fd, &st) != 0) {
        rc = fail(ZVRIPC_ESYS, "semaphore %s: cannot stat: %s", object.c_str(), errno_text(errno).c_str());
    } else if ((rc = check_owner("semaphore", object, st)) == ZVRIPC_OK &&
               (rc = check_group("semaphore", object, st, group)) == ZVRIPC_OK &&
               st.st_size != static_cast<off_t>(sizeof(sem_t))) {
        rc = fail(ZVRIPC_EBADSEG, "semaphore %s holds %lld bytes, not a semaphore's %zu", object.c_str(),
                  static_cast<long long>(st.st_size), sizeof(sem_t));
    }
    if (rc == ZVRIPC_OK) {
        void *addr = mmap(nullptr, sizeof(sem_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            rc = fail(ZVRIPC_ESYS, "semaphore %s: cannot map: %s", object.c_str(), errno_text(errno).c_str());
        } else if ((*slot = guard_mapping(addr, sizeof(sem_t))) < 0) {
            munmap(addr, sizeof(sem_t));
            rc = ZVRIPC_ESYS;
        } else {
            *sem = static_cast<sem_t *>(addr);
        }
    }
    close(fd);
    return rc;
}

void close_semaphore(sem_t *sem, int slot) {
    release_guard(slot);
    if (sem != nullptr) {
        munmap(sem, sizeof(sem_t));
    }
}

int set_semaphore_mode(const std::string &object, mode_t mode, int gid) {
    const std::string file = semaphore_file(object);
    int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int err = 0;
    if (fd < 0) {
        err = errno;
    } else {
        if (fchmod(fd, mode) != 0 ||
            (gid >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0)) {
            err = errno;
        }
        close(fd);
    }
    if (err != 0) {
        return fail(ZVRIPC_ESYS, "semaphore %s: cannot set mode %04o%s: %s", object.c_str(),
                    static_cast<unsigned>(mode), gid >= 0 ? " and group" : "", errno_text(err).c_str());
    }
    return ZVRIPC_OK;
}

std::string describe_existing(const std::string &file) {
    struct stat st {};
    if (lstat(file.c_str(), &st) != 0) {
        return "";
    }
    return S_ISLNK(st.st_mode) ? "a symbolic link" : describe_owner(st);
}

}  // namespace zvripc
