// SPDX-License-Identifier: GPL-3.0-or-later
// The BMC access file: what is accepted with which defaults, what is refused with which
// message, and the password file's checks. Single-threaded.
#include "config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "cipher_suites.h"
#include "sim_harness.h"

namespace {

using tavik::bmc::Config;
using tavik::bmc::Driver;
using tavik::bmc::LoadError;

const char *kFull =
    "# access to the BMC\n"
    "  driver = lan  \n"
    "\n"
    "host=bmc1.example\r\n"
    "port = 9001\n"
    "user = admin\n"
    "password_file = /etc/tavik/bmc.pw\n"
    "privilege = Operator\n"
    "cipher_suite = 17\n"
    "timeout_ms = 0x1f4\n";

TEST(BmcConfig, AcceptsEveryKey) {
    Config c;
    std::string err;
    ASSERT_TRUE(tavik::bmc::parse_config(kFull, "/x/bmc.conf", c, err)) << err;
    EXPECT_EQ(c.driver, Driver::Lan);
    EXPECT_EQ(c.host, "bmc1.example");
    EXPECT_EQ(c.port, 9001);
    EXPECT_EQ(c.user, "admin");
    EXPECT_EQ(c.password_file, "/etc/tavik/bmc.pw");
    EXPECT_EQ(c.privilege, 3);
    EXPECT_EQ(c.cipher_suite, 17);
    EXPECT_EQ(c.timeout_ms, 500u);
    EXPECT_EQ(c.endpoint(), "bmc1.example:9001");
}

TEST(BmcConfig, DefaultsAndRelativePasswordFile) {
    Config c;
    std::string err;
    ASSERT_TRUE(tavik::bmc::parse_config("driver = lan\nhost = 127.0.1.1\nuser = u\npassword_file = pw\n",
                                         "/etc/tavik/bmc.conf", c, err))
        << err;
    EXPECT_EQ(c.port, 623);
    EXPECT_EQ(c.privilege, 4) << "admin: the OEM commands need it";
    EXPECT_EQ(c.cipher_suite, tavik::bmc::kCipherSuiteAuto) << "chosen from what the BMC offers";
    EXPECT_EQ(c.timeout_ms, 2000u);
    EXPECT_EQ(c.password_file, "/etc/tavik/pw");
    ASSERT_TRUE(tavik::bmc::parse_config("driver = inband\n", "bmc.conf", c, err)) << err;
    EXPECT_EQ(c.driver, Driver::Inband);
    EXPECT_EQ(c.target(), "in-band BMC");
}

TEST(BmcConfig, RefusalsNameTheLineAndTheProblem) {
    using namespace std::string_view_literals;
    struct Case {
        std::string_view text;
        const char *message;
    };
    const Case cases[] = {
        {"driver = lan\nhots = x\n", "line 2: unknown key 'hots'"},
        {"driver = inband\ndriver = lan\n", "line 2: key 'driver' given twice"},
        {"driver lan\n", "line 1: expected 'key = value'"},
        {"driver =\n", "bad value '' for driver"},
        {"driver = serial\n", "bad value 'serial' for driver (expected inband, lan or standard)"},
        {"driver = inband\nport = 0\n", "bad value '0' for port"},
        {"driver = inband\nport = 65536\n", "bad value '65536' for port"},
        {"driver = inband\nport = 9001x\n", "bad value '9001x' for port"},
        {"driver = inband\nprivilege = root\n", "bad value 'root' for privilege"},
        {"driver = inband\ncipher_suite = 4\n", "bad value '4' for cipher_suite"},
        {"driver = inband\ntimeout_ms = 10\n", "bad value '10' for timeout_ms"},
        {"driver = inband\ntimeout_ms = 600001\n", "bad value '600001' for timeout_ms"},
        {"driver = inband\nuser = abcdefghijklmnopq\n", "bad value 'abcdefghijklmnopq' for user"},
        {"driver = inband\nhost = 127.0.1.1:9001\n", "bad value '127.0.1.1:9001' for host"},
        {"port = 9001\n", "key 'driver' (inband, lan or standard) is missing"},
        {"driver = lan\nuser = u\npassword_file = p\n", "driver = lan needs key 'host'"},
        {"driver = lan\nhost = h\npassword_file = p\n", "driver = lan needs key 'user'"},
        {"driver = lan\nhost = h\nuser = u\n", "driver = lan needs key 'password_file'"},
        // Values become C strings: a NUL would cut the host before its port or the
        // password file's path short, a lone CR (old line ends) would end up in the host.
        {"driver = lan\nhost = 127.0.1.1\0evil\nuser = u\npassword_file = /p\n"sv,
         "line 2: a control character (0x00)"},
        {"driver = lan\rhost = 127.0.1.1\ruser = u\rpassword_file = /p\r"sv,
         "line 1: a control character (0x0d)"},
        {"driver = inband\nuser = a\x1b[2Jb\n"sv, "line 2: a control character (0x1b)"},
        {"driver = inband\nuser = a\x7f\n"sv, "line 2: a control character (0x7f)"},
    };
    for (const auto &c : cases) {
        Config cfg;
        std::string err;
        EXPECT_FALSE(tavik::bmc::parse_config(c.text, "/etc/tavik/bmc.conf", cfg, err)) << c.text;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.text << " -> " << err;
        EXPECT_EQ(err.rfind("/etc/tavik/bmc.conf", 0), 0u) << "the message names the file: " << err;
    }
}

TEST(BmcPasswordFile, OnlyOwnerReadableFilesAreAccepted) {
    tavik::test::TempDir dir;
    struct Case {
        unsigned mode;
        bool ok;
        const char *why = "readable by group or others";
        uid_t owner = static_cast<uid_t>(-1);
    };
    const bool root = geteuid() == 0;
    for (Case c : {Case{0600, true}, Case{0400, true}, Case{0620, true}, Case{0640, false}, Case{0604, false},
                   Case{0644, false}, Case{0602, false, "writable by others (mode 0602)"},
                   Case{0600, !root, "neither root nor this user", root ? 65534u : static_cast<uid_t>(-1)}}) {
        const std::string path = dir.file("pw");
        tavik::test::write_text(path, "secret\n", c.mode);
        ASSERT_EQ(chown(path.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        std::string pw, err;
        EXPECT_EQ(tavik::bmc::read_password(path, pw, err), c.ok) << std::oct << c.mode << " " << err;
        if (c.ok) {
            EXPECT_EQ(pw, "secret");
        } else {
            EXPECT_NE(err.find(c.why), std::string::npos) << err;
            EXPECT_NE(err.find(path), std::string::npos) << err;
        }
    }
}

TEST(BmcPasswordFile, ContentRules) {
    tavik::test::TempDir dir;
    struct Case {
        const char *content;
        bool ok;
        const char *password_or_message;
    };
    const Case cases[] = {
        {"pw\r\nsecond line\n", true, "pw"},
        {"", true, ""},
        {"12345678901234567890", true, "12345678901234567890"},
        {"123456789012345678901\n", false, "longer than 20 bytes"},
    };
    for (const auto &c : cases) {
        const std::string path = dir.file("pw");
        tavik::test::write_text(path, c.content, 0600);
        std::string pw, err;
        ASSERT_EQ(tavik::bmc::read_password(path, pw, err), c.ok) << c.content << " " << err;
        if (c.ok) {
            EXPECT_EQ(pw, c.password_or_message);
        } else {
            EXPECT_NE(err.find(c.password_or_message), std::string::npos) << err;
        }
    }
    std::string pw, err;
    EXPECT_FALSE(tavik::bmc::read_password(dir.file("missing"), pw, err));
    EXPECT_NE(err.find("No such file"), std::string::npos) << err;
    EXPECT_FALSE(tavik::bmc::read_password(dir.path(), pw, err));
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
    ASSERT_EQ(symlink(dir.file("pw").c_str(), dir.file("link").c_str()), 0);
    EXPECT_FALSE(tavik::bmc::read_password(dir.file("link"), pw, err)) << "a symbolic link is not followed";
}

// A FIFO named as the access file or the password file is refused at once instead of
// waiting for a writer. Should the open block, the test opens the FIFO for writing
// itself to release the reader and fails.
TEST(BmcConfigFile, FifosAreRefusedWithoutWaiting) {
    tavik::test::TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    tavik::test::write_text(dir.file("bmc.conf"),
                            "driver = lan\nhost = 127.0.1.1\nuser = u\npassword_file = fifo\n");
    struct Case {
        std::string file;
        LoadError expected;
    };
    for (const Case &c : {Case{fifo, LoadError::Missing}, Case{dir.file("bmc.conf"), LoadError::Password}}) {
        auto load = std::async(std::launch::async, [&] {
            Config cfg;
            std::string err;
            LoadError result = tavik::bmc::load_config(c.file, cfg, err);
            return std::make_pair(result, err);
        });
        if (load.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            ::close(writer);
            load.wait();
            ADD_FAILURE() << c.file << ": load_config waits on the FIFO";
            continue;
        }
        auto [result, err] = load.get();
        EXPECT_EQ(result, c.expected) << c.file << ": " << err;
        EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
    }
}

TEST(BmcConfigFile, LoadReportsWhichStepFailed) {
    tavik::test::TempDir dir;
    Config c;
    std::string err;
    EXPECT_EQ(tavik::bmc::load_config(dir.file("bmc.conf"), c, err), LoadError::Missing);
    EXPECT_NE(err.find(dir.file("bmc.conf")), std::string::npos) << err;

    tavik::test::write_text(dir.file("bmc.conf"), "driver = lan\nhost = 127.0.1.1\nport = 9\n");
    EXPECT_EQ(tavik::bmc::load_config(dir.file("bmc.conf"), c, err), LoadError::Invalid);

    tavik::test::write_text(dir.file("bmc.conf"),
                            "driver = lan\nhost = 127.0.1.1\nuser = u\npassword_file = pw\n");
    tavik::test::write_text(dir.file("pw"), "s3cret\n", 0644);
    EXPECT_EQ(tavik::bmc::load_config(dir.file("bmc.conf"), c, err), LoadError::Password);
    EXPECT_NE(err.find(dir.file("pw")), std::string::npos) << err;

    chmod(dir.file("pw").c_str(), 0600);
    ASSERT_EQ(tavik::bmc::load_config(dir.file("bmc.conf"), c, err), LoadError::None) << err;
    EXPECT_EQ(c.password, "s3cret");
    EXPECT_EQ(c.path, dir.file("bmc.conf"));
}

}  // namespace
