// SPDX-License-Identifier: GPL-3.0-or-later
// The rule for the programs tavikctl run starts as root: each layout of a folder and a
// program under /tmp, and whether it is run or refused with which reason.
#include "program_trust.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;
constexpr uid_t kNobody = 65534;

struct Layout {
    const char *what;
    std::function<std::string(const fs::path &)> make;  // returns the path to open
    const char *refusal;                                // null: accepted
    bool needs_root;
};

fs::path program(const fs::path &dir, mode_t mode, const char *text = "#!/bin/sh\nexit 0\n") {
    fs::create_directories(dir);
    fs::path file = dir / "hook";
    std::ofstream(file) << text;
    chmod(file.c_str(), mode);
    return file;
}

TEST(ProgramTrust, ProgramsAndTheirFoldersAreTrustedLikeConfiguration) {
    const std::vector<Layout> layouts = {
        {"root's program in root's folder", [](const fs::path &d) { return program(d / "a", 0755).string(); },
         nullptr, false},
        {"a program others may write", [](const fs::path &d) { return program(d / "a", 0757).string(); },
         "its group or others may write it; refused", false},
        {"a program its group may write", [](const fs::path &d) { return program(d / "a", 0775).string(); },
         "its group or others may write it; refused", false},
        {"a folder others may write",
         [](const fs::path &d) {
             fs::path p = program(d / "open", 0755);
             chmod((d / "open").c_str(), 0777);
             return p.string();
         },
         "open (owner uid 0, mode 0777): its group or others may write it and it has no sticky bit", false},
        {"a sticky folder others may write",
         [](const fs::path &d) {
             fs::path p = program(d / "tmp", 0755);
             chmod((d / "tmp").c_str(), 01777);
             return p.string();
         },
         nullptr, false},
        {"a FIFO",
         [](const fs::path &d) {
             fs::create_directories(d / "f");
             mkfifo((d / "f" / "hook").c_str(), 0755);
             return (d / "f" / "hook").string();
         },
         "not a regular file; refused", false},
        {"a link in a safe folder to a safe program",
         [](const fs::path &d) {
             fs::path target = program(d / "real", 0755);
             fs::create_directories(d / "links");
             fs::create_symlink("../real/hook", d / "links" / "hook");
             return (d / "links" / "hook").string();
         },
         nullptr, false},
        {"a link to a program in a folder others may write",
         [](const fs::path &d) {
             program(d / "open", 0755);
             chmod((d / "open").c_str(), 0777);
             fs::create_directories(d / "links");
             fs::create_symlink(d / "open" / "hook", d / "links" / "hook");
             return (d / "links" / "hook").string();
         },
         "and it has no sticky bit; refused", false},
        {"a program another user owns",
         [](const fs::path &d) {
             fs::path p = program(d / "a", 0755);
             EXPECT_EQ(chown(p.c_str(), kNobody, kNobody), 0);
             return p.string();
         },
         "another user owns it; refused", true},
        {"a folder another user owns",
         [](const fs::path &d) {
             fs::path p = program(d / "theirs", 0755);
             EXPECT_EQ(chown((d / "theirs").c_str(), kNobody, kNobody), 0);
             return p.string();
         },
         "theirs (owner uid 65534, mode 0755): another user owns it; refused", true},
    };
    const fs::path base = fs::temp_directory_path() / ("tavik_trust_" + std::to_string(getpid()));
    for (const Layout &l : layouts) {
        SCOPED_TRACE(l.what);
        if (l.needs_root && geteuid() != 0) {
            continue;
        }
        fs::remove_all(base);
        fs::create_directories(base);
        chmod(base.c_str(), 0755);
        const std::string path = l.make(base);
        std::string refusal;
        try {
            int fd = tavikctl::open_trusted_program(path, "hook");
            EXPECT_TRUE(tavikctl::is_script(fd));
            close(fd);
        } catch (const std::runtime_error &e) {
            refusal = e.what();
        }
        if (l.refusal == nullptr) {
            EXPECT_EQ(refusal, "");
        } else {
            EXPECT_NE(refusal.find(l.refusal), std::string::npos) << refusal;
            EXPECT_EQ(refusal.rfind("hook " + path + ": ", 0), 0u) << refusal;
        }
    }
    fs::remove_all(base);
}

}  // namespace
