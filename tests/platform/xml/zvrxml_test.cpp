// SPDX-License-Identifier: GPL-3.0-or-later
// Kept whole past 500 lines: every case shares the fixture's temporary configuration,
// policies and library state.
// Tests of libzvrxml through its C ABI: the key-path rule, integer and string values at
// their limits, policy gating, every failure result, hostile files, the example
// configuration read the way the daemon reads it, the element index against the sibling
// walk it replaces, and the tick clock under threads.
// Each test gets its own temporary directory (policies and configuration) and ends
// with xmllib_term, so the process-wide library state never leaks between tests.
#include "zvrxml.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cluster_layout.h"
#include "key_path.h"

namespace fs = std::filesystem;

namespace {

std::string source_dir() {
    const char *dir = std::getenv("TAVIK_SOURCE_DIR");
    return dir != nullptr ? dir : ".";
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

class XmlLib : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zvrxml_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        policy_dir_ = dir_ + "/policy";
        config_ = dir_ + "/cluster.xml";
        fs::create_directory(policy_dir_);
        for (const char *name : {"tavik", "all", "nm"}) {
            fs::copy_file(source_dir() + "/policy/" + name + ".xml", policy_dir_ + "/" + name + ".xml");
        }
        ::setenv("TAVIK_POLICY_DIR", policy_dir_.c_str(), 1);
        ::setenv("TAVIK_CONFIG", config_.c_str(), 1);
    }
    void TearDown() override {
        xmllib_term();
        fs::remove_all(dir_);
    }

    int load(const std::string &text) {
        write_file(config_, text);
        return xmllib_load_config();
    }
    void start(const std::string &text) {
        ASSERT_EQ(xmllib_init("test"), XMLLIB_OK) << xmllib_last_error();
        ASSERT_EQ(load(text), XMLLIB_OK) << xmllib_last_error();
    }
    static int get_int(const std::string &path, int &value) {
        int size = 4;
        return xmllib_get_value(path.c_str(), XMLLIB_TYPE_INT, &value, &size);
    }
    static int get_string(const std::string &path, std::string &value, int size = 46) {
        std::vector<char> buf(static_cast<std::size_t>(size), '\0');
        int rc = xmllib_get_value(path.c_str(), XMLLIB_TYPE_STRING, buf.data(), &size);
        if (rc == XMLLIB_OK) {
            value = buf.data();
        }
        return rc;
    }

    std::string dir_, policy_dir_, config_;
};

// ---- key paths ----

constexpr const char *layout_config = R"(<root>
  <heartbeat>
    <tavik name="hb1"><device>1</device></tavik>
    <tavik name="hb@2"><device>2</device></tavik>
    <tavik name=""><device>3</device></tavik>
    <other name="hb1"><device>5</device></other>
  </heartbeat>
  <server name="a/b"><device name="0"><info>unreachable</info></device></server>
  <server name="n1">
    <priority> 7 </priority>
    <device name="0"><info> 127.0.1.1 </info></device>
    <device name="0"><info>second</info></device>
    <device name="1"><info><![CDATA[10.0.0.1]]></info></device>
    <device name="2"><info>1<!-- split -->2</info></device>
  </server>
</root>)";

struct PathCase {
    const char *path;
    int type;
    int result;
    const char *value;  // expected text (strings) or decimal (integers) on success
};

TEST_F(XmlLib, KeyPathRule) {
    start(layout_config);
    const PathCase cases[] = {
        {"/root/heartbeat/tavik@hb1/device", XMLLIB_TYPE_INT, XMLLIB_OK, "1"},
        {"/root/heartbeat/tavik@hb@2/device", XMLLIB_TYPE_INT, XMLLIB_OK, "2"},  // split at the first '@'
        {"/root/heartbeat/tavik@/device", XMLLIB_TYPE_INT, XMLLIB_OK, "3"},      // name="" present
        {"/root/heartbeat/tavik/device", XMLLIB_TYPE_INT, XMLLIB_OK, "1"},       // first <tavik>
        {"/root/heartbeat/other@hb1/device", XMLLIB_TYPE_INT, XMLLIB_OK, "5"},
        {"/root/heartbeat/tavik@HB1/device", XMLLIB_TYPE_INT, XMLLIB_E_NO_KEY, nullptr},
        {"/root/heartbeat/tavik@hb9/device", XMLLIB_TYPE_INT, XMLLIB_E_NO_KEY, nullptr},
        {"/root/heartbeat/tavik@hb1/device@", XMLLIB_TYPE_INT, XMLLIB_E_NO_KEY, nullptr},
        {"/root/server@a/b/device@0/info", XMLLIB_TYPE_STRING, XMLLIB_E_NO_KEY, nullptr},  // '/' in a name
        {"/root/server/device@0/info", XMLLIB_TYPE_STRING, XMLLIB_OK, "unreachable"},      // first <server>
        {"/root/server@n1/priority", XMLLIB_TYPE_INT, XMLLIB_OK, "7"},
        {"/root/server@n1/device@0/info", XMLLIB_TYPE_STRING, XMLLIB_OK, "127.0.1.1"},  // first, trimmed
        {"/root/server@n1/device@1/info", XMLLIB_TYPE_STRING, XMLLIB_OK, "10.0.0.1"},
        {"/root/server@n1/device@2/info", XMLLIB_TYPE_STRING, XMLLIB_OK, "12"},
        {"/root/server@n1", XMLLIB_TYPE_STRING, XMLLIB_E_NOT_LEAF, nullptr},
        {"/root/heartbeat/tavik@hb1/device/", XMLLIB_TYPE_INT, XMLLIB_E_PATH, nullptr},
        {"/root//heartbeat", XMLLIB_TYPE_INT, XMLLIB_E_PATH, nullptr},
        {"/root/heartbeat//tavik", XMLLIB_TYPE_INT, XMLLIB_E_PATH, nullptr},
        {"/root/@hb1/device", XMLLIB_TYPE_INT, XMLLIB_E_PATH, nullptr},
        {"root/heartbeat", XMLLIB_TYPE_INT, XMLLIB_E_PATH, nullptr},
        {"/root", XMLLIB_TYPE_INT, XMLLIB_E_PATH, nullptr},
        {"/root/", XMLLIB_TYPE_INT, XMLLIB_E_PATH, nullptr},
        {"/rooty/heartbeat", XMLLIB_TYPE_INT, XMLLIB_E_PATH, nullptr},
        {"", XMLLIB_TYPE_INT, XMLLIB_E_PATH, nullptr},
    };
    for (const PathCase &c : cases) {
        SCOPED_TRACE(c.path);
        if (c.type == XMLLIB_TYPE_INT) {
            int value = -12345;
            EXPECT_EQ(get_int(c.path, value), c.result) << xmllib_last_error();
            EXPECT_EQ(value, c.value != nullptr ? std::stoi(c.value) : -12345);
        } else {
            std::string value = "untouched";
            EXPECT_EQ(get_string(c.path, value), c.result) << xmllib_last_error();
            EXPECT_EQ(value, c.value != nullptr ? c.value : "untouched");
        }
    }
}

// ---- values at their limits ----

struct IntCase {
    const char *text;
    int result;
    int value;
};

const IntCase int_cases[] = {
    {"0", XMLLIB_OK, 0},
    {"2147483647", XMLLIB_OK, INT_MAX},
    {"-2147483648", XMLLIB_OK, INT_MIN},
    {"2147483648", XMLLIB_E_INT_RANGE, 0},
    {"-2147483649", XMLLIB_E_INT_RANGE, 0},
    {"99999999999999999999999999", XMLLIB_E_INT_RANGE, 0},
    {"0x7fffffff", XMLLIB_OK, INT_MAX},
    {"0X1F", XMLLIB_OK, 31},
    {"0x80000000", XMLLIB_E_INT_RANGE, 0},
    {"+7", XMLLIB_OK, 7},
    {"010", XMLLIB_OK, 10},  // decimal, not octal
    {" \n\t 42 \r\n ", XMLLIB_OK, 42},
    {"", XMLLIB_E_NOT_INT, 0},
    {"   ", XMLLIB_E_NOT_INT, 0},
    {"12abc", XMLLIB_E_NOT_INT, 0},
    {"1 2", XMLLIB_E_NOT_INT, 0},
    {"99999999999999999999x", XMLLIB_E_NOT_INT, 0},  // junk wins over overflow
    {"0x", XMLLIB_E_NOT_INT, 0},
    {"0xg", XMLLIB_E_NOT_INT, 0},
    {"0x-1", XMLLIB_E_NOT_INT, 0},
    {"0x 1", XMLLIB_E_NOT_INT, 0},
    {"-0x1", XMLLIB_E_NOT_INT, 0},
    {"-", XMLLIB_E_NOT_INT, 0},
    {"1.5", XMLLIB_E_NOT_INT, 0},
};

TEST_F(XmlLib, IntegersAtTheirLimits) {
    std::string config = "<root><heartbeat>";
    for (std::size_t i = 0; i < std::size(int_cases); ++i) {
        config +=
            "<tavik name=\"c" + std::to_string(i) + "\"><device>" + int_cases[i].text + "</device></tavik>";
    }
    start(config + "</heartbeat></root>");
    for (std::size_t i = 0; i < std::size(int_cases); ++i) {
        const IntCase &c = int_cases[i];
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        int value = 0x5a5a5a5a;
        int size = 4;
        std::string path = "/root/heartbeat/tavik@c" + std::to_string(i) + "/device";
        EXPECT_EQ(xmllib_get_value(path.c_str(), XMLLIB_TYPE_INT, &value, &size), c.result)
            << xmllib_last_error();
        EXPECT_EQ(value, c.result == XMLLIB_OK ? c.value : 0x5a5a5a5a);
        EXPECT_EQ(size, 4);
    }
}

TEST(ConfigInt, LayoutReaderAgreesWithTheLibrary) {
    for (const IntCase &c : int_cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        std::optional<int> parsed = tavikctl::parse_config_int(c.text);
        EXPECT_EQ(parsed.has_value(), c.result == XMLLIB_OK);
        if (parsed) {
            EXPECT_EQ(*parsed, c.value);
        }
    }
}

TEST_F(XmlLib, StringsMustFitWithTheirNul) {
    start(
        "<root><server name=\"s\"><device name=\"0\"><info>abcdefghi</info></device>"
        "<device name=\"1\"><info/></device></server></root>");
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    int size = 10;  // nine characters and the NUL
    ASSERT_EQ(xmllib_get_value("/root/server@s/device@0/info", XMLLIB_TYPE_STRING, buf, &size), XMLLIB_OK);
    EXPECT_STREQ(buf, "abcdefghi");
    EXPECT_EQ(size, 10);
    EXPECT_EQ(buf[10], '#');  // nothing written past the value

    std::memset(buf, '#', sizeof buf);
    size = 9;
    EXPECT_EQ(xmllib_get_value("/root/server@s/device@0/info", XMLLIB_TYPE_STRING, buf, &size),
              XMLLIB_E_TOO_LONG);
    EXPECT_EQ(size, 9);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#'));

    size = 1;
    ASSERT_EQ(xmllib_get_value("/root/server@s/device@1/info", XMLLIB_TYPE_STRING, buf, &size), XMLLIB_OK);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(size, 1);
}

// ---- policies ----

TEST_F(XmlLib, PoliciesGateTheirRoots) {
    start(
        "<root><tavik><nice>5</nice><mlock>Yes</mlock><stray>1</stray></tavik>"
        "<cluster><heartbeat><timeout>1000</timeout></heartbeat></cluster>"
        "<other><x>1</x></other><heartbeat><tavik name=\"h\"><device>0</device></tavik></heartbeat></root>");
    int value = 0;
    std::string text;
    EXPECT_EQ(get_int("/root/tavik/nice", value), XMLLIB_E_POLICY_NOT_LOADED);
    EXPECT_EQ(get_int("/root/other/x", value), XMLLIB_E_POLICY_NOT_LOADED);  // no policy at all
    EXPECT_EQ(get_int("/root/heartbeat/tavik@h/device", value), XMLLIB_OK);  // layout: always readable

    ASSERT_EQ(xmllib_load_policy("tavik"), XMLLIB_OK) << xmllib_last_error();
    EXPECT_EQ(xmllib_load_policy("tavik"), XMLLIB_E_POLICY_LOADED);
    EXPECT_EQ(get_int("/root/tavik/nice", value), XMLLIB_OK);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(get_string("/root/tavik/mlock", text, 16), XMLLIB_OK);
    EXPECT_EQ(text, "Yes");
    EXPECT_EQ(get_int("/root/tavik/stray", value), XMLLIB_E_UNDECLARED);
    EXPECT_EQ(get_int("/root/tavik@x/nice", value), XMLLIB_E_UNDECLARED);
    EXPECT_EQ(get_int("/root/tavik/mlock", value), XMLLIB_E_TYPE_MISMATCH);
    EXPECT_EQ(get_string("/root/tavik/nice", text), XMLLIB_E_TYPE_MISMATCH);
    EXPECT_EQ(get_int("/root/tavik/watchth", value), XMLLIB_E_NO_KEY);  // declared, not in the file
    EXPECT_EQ(get_int("/root/cluster/heartbeat/timeout", value), XMLLIB_E_POLICY_NOT_LOADED);

    ASSERT_EQ(xmllib_load_policy("nm"), XMLLIB_OK);  // several at once
    EXPECT_EQ(get_int("/root/cluster/heartbeat/timeout", value), XMLLIB_OK);
    EXPECT_EQ(value, 1000);

    ASSERT_EQ(xmllib_unload_policy("tavik"), XMLLIB_OK);
    EXPECT_EQ(xmllib_unload_policy("tavik"), XMLLIB_E_POLICY_NOT_LOADED);
    EXPECT_EQ(get_int("/root/tavik/nice", value), XMLLIB_E_POLICY_NOT_LOADED);
    EXPECT_EQ(xmllib_unload_policy("all"), XMLLIB_E_POLICY_NOT_LOADED);

    EXPECT_EQ(xmllib_load_policy("nosuch"), XMLLIB_E_POLICY_UNKNOWN);
    for (const char *bad : {"", "../policy/tavik", "a/b", "tavik.xml"}) {
        EXPECT_EQ(xmllib_load_policy(bad), XMLLIB_E_ARGUMENT) << bad;
    }
    EXPECT_EQ(xmllib_load_policy(nullptr), XMLLIB_E_ARGUMENT);

    // A second policy may not claim a root another loaded policy covers.
    write_file(
        policy_dir_ + "/mine.xml",
        R"(<policy name="mine" root="/root/cluster"><key path="/root/cluster/x" type="int">x</key></policy>)");
    EXPECT_EQ(xmllib_load_policy("mine"), XMLLIB_E_POLICY_LOADED);
    ASSERT_EQ(xmllib_unload_policy("nm"), XMLLIB_OK);
    EXPECT_EQ(xmllib_load_policy("mine"), XMLLIB_OK) << xmllib_last_error();
}

TEST_F(XmlLib, PolicyKeysAreListedInFileOrder) {
    ASSERT_EQ(xmllib_init("test"), XMLLIB_OK);
    char path[64];
    int size = sizeof path;
    int type = -1;
    EXPECT_EQ(xmllib_policy_key("all", 0, path, &size, &type), XMLLIB_E_POLICY_NOT_LOADED);
    ASSERT_EQ(xmllib_load_policy("all"), XMLLIB_OK);
    std::vector<std::string> keys;
    for (int i = 0;; ++i) {
        size = sizeof path;
        int rc = xmllib_policy_key("all", i, path, &size, &type);
        if (rc != XMLLIB_OK) {
            EXPECT_EQ(rc, XMLLIB_E_NO_KEY);
            break;
        }
        EXPECT_EQ(type, XMLLIB_TYPE_INT);
        EXPECT_EQ(size, static_cast<int>(std::strlen(path) + 1));
        keys.emplace_back(path);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"/root/all/num/server", "/root/all/num/hbr"}));
    size = 5;
    EXPECT_EQ(xmllib_policy_key("all", 0, path, &size, &type), XMLLIB_E_TOO_LONG);
    EXPECT_EQ(xmllib_policy_key("all", -1, path, &size, &type), XMLLIB_E_NO_KEY);
}

TEST_F(XmlLib, MalformedPoliciesAreRefusedWhole) {
    ASSERT_EQ(xmllib_init("test"), XMLLIB_OK);
    const char *policies[] = {
        R"(<policy name="bad" root="/root/bad"><key path="/root/bad/x" type="int">x</key>)",
        R"(<policy name="other" root="/root/bad"><key path="/root/bad/x" type="int">x</key></policy>)",
        R"(<policy name="bad" root="/root/heartbeat"><key path="/root/heartbeat/x" type="int">x</key></policy>)",
        R"(<policy name="bad" root="/root/bad/deeper"><key path="/root/bad/deeper/x" type="int">x</key></policy>)",
        R"(<policy name="bad" root="/root/bad"><key path="/root/elsewhere/x" type="int">x</key></policy>)",
        R"(<policy name="bad" root="/root/bad"><key path="/root/bad" type="int">x</key></policy>)",
        R"(<policy name="bad" root="/root/bad"><key path="/root/bad/x" type="float">x</key></policy>)",
        R"(<policy name="bad" root="/root/bad"><key path="/root/bad/x" type="int">x</key><key path="/root/bad/x" type="string">y</key></policy>)",
        R"(<policy name="bad" root="/root/bad"><item path="/root/bad/x" type="int">x</item></policy>)",
        R"(<!DOCTYPE policy><policy name="bad" root="/root/bad"><key path="/root/bad/x" type="int">x</key></policy>)",
        R"(<policies name="bad" root="/root/bad"/>)",
    };
    for (const char *text : policies) {
        SCOPED_TRACE(text);
        write_file(policy_dir_ + "/bad.xml", text);
        EXPECT_EQ(xmllib_load_policy("bad"), XMLLIB_E_POLICY_BAD);
        EXPECT_NE(std::string(xmllib_last_error()).find("bad.xml"), std::string::npos) << xmllib_last_error();
        EXPECT_EQ(xmllib_unload_policy("bad"), XMLLIB_E_POLICY_NOT_LOADED);  // nothing half-loaded
    }
}

// ---- failure results ----

TEST_F(XmlLib, EveryEntryNeedsInit) {
    int value = 0;
    int size = 4;
    char path[8];
    EXPECT_EQ(xmllib_load_config(), XMLLIB_E_NOT_INIT);
    EXPECT_EQ(xmllib_load_policy("tavik"), XMLLIB_E_NOT_INIT);
    EXPECT_EQ(xmllib_unload_policy("tavik"), XMLLIB_E_NOT_INIT);
    EXPECT_EQ(xmllib_get_value("/root/heartbeat/x", XMLLIB_TYPE_INT, &value, &size), XMLLIB_E_NOT_INIT);
    EXPECT_EQ(xmllib_policy_key("tavik", 0, path, &size, &value), XMLLIB_E_NOT_INIT);
    EXPECT_EQ(xmllib_unload_config(), XMLLIB_E_NOT_INIT);
    EXPECT_EQ(xmllib_term(), XMLLIB_E_NOT_INIT);
    EXPECT_EQ(xmllib_init(nullptr), XMLLIB_E_ARGUMENT);

    ASSERT_EQ(xmllib_init("test"), XMLLIB_OK);
    EXPECT_EQ(xmllib_init("again"), XMLLIB_E_ALREADY_INIT);
    EXPECT_EQ(xmllib_get_value("/root/heartbeat/x", XMLLIB_TYPE_INT, &value, &size), XMLLIB_E_NOT_LOADED);
    EXPECT_EQ(xmllib_unload_config(), XMLLIB_E_NOT_LOADED);
    EXPECT_EQ(xmllib_term(), XMLLIB_OK);
    EXPECT_EQ(xmllib_load_config(), XMLLIB_E_NOT_INIT);  // term really ends it
}

TEST_F(XmlLib, PolicyDirectoryMustBeReadable) {
    ::setenv("TAVIK_POLICY_DIR", (dir_ + "/none").c_str(), 1);
    EXPECT_EQ(xmllib_init("test"), XMLLIB_E_POLICY_DIR);
    ::setenv("TAVIK_POLICY_DIR", (policy_dir_ + "/tavik.xml").c_str(), 1);
    EXPECT_EQ(xmllib_init("test"), XMLLIB_E_POLICY_DIR);
    EXPECT_NE(std::string(xmllib_last_error()).find("tavik.xml"), std::string::npos);
}

TEST_F(XmlLib, BadArguments) {
    start("<root><heartbeat><x>1</x></heartbeat></root>");
    int value = 77;
    int size = 4;
    EXPECT_EQ(xmllib_get_value(nullptr, XMLLIB_TYPE_INT, &value, &size), XMLLIB_E_ARGUMENT);
    EXPECT_EQ(xmllib_get_value("/root/heartbeat/x", XMLLIB_TYPE_INT, nullptr, &size), XMLLIB_E_ARGUMENT);
    EXPECT_EQ(xmllib_get_value("/root/heartbeat/x", XMLLIB_TYPE_INT, &value, nullptr), XMLLIB_E_ARGUMENT);
    EXPECT_EQ(xmllib_get_value("/root/heartbeat/x", 2, &value, &size), XMLLIB_E_ARGUMENT);
    size = 3;
    EXPECT_EQ(xmllib_get_value("/root/heartbeat/x", XMLLIB_TYPE_INT, &value, &size), XMLLIB_E_ARGUMENT);
    size = 0;
    EXPECT_EQ(xmllib_get_value("/root/heartbeat/x", XMLLIB_TYPE_STRING, &value, &size), XMLLIB_E_ARGUMENT);
    EXPECT_EQ(value, 77);
}

TEST_F(XmlLib, ConfigurationFilesThatCannotBeRead) {
    ASSERT_EQ(xmllib_init("test"), XMLLIB_OK);
    ::setenv("TAVIK_CONFIG", (dir_ + "/none.xml").c_str(), 1);
    EXPECT_EQ(xmllib_load_config(), XMLLIB_E_CONFIG_MISSING);
    EXPECT_NE(std::string(xmllib_last_error()).find("none.xml"), std::string::npos);
    ::setenv("TAVIK_CONFIG", (dir_ + "/none/cluster.xml").c_str(), 1);
    EXPECT_EQ(xmllib_load_config(), XMLLIB_E_CONFIG_MISSING);

    ::setenv("TAVIK_CONFIG", policy_dir_.c_str(), 1);  // a directory
    EXPECT_EQ(xmllib_load_config(), XMLLIB_E_CONFIG_UNREADABLE);
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::setenv("TAVIK_CONFIG", fifo.c_str(), 1);
    EXPECT_EQ(xmllib_load_config(), XMLLIB_E_CONFIG_UNREADABLE);  // and does not block

    ::setenv("TAVIK_CONFIG", config_.c_str(), 1);
    std::string exact = "<root>";
    exact += std::string(XMLLIB_MAX_FILE_SIZE - exact.size() - 7, ' ') + "</root>";
    ASSERT_EQ(exact.size(), static_cast<std::size_t>(XMLLIB_MAX_FILE_SIZE));
    EXPECT_EQ(load(exact), XMLLIB_OK) << xmllib_last_error();
    EXPECT_EQ(load(exact + " "), XMLLIB_E_CONFIG_TOO_LARGE);
    ASSERT_EQ(::truncate(config_.c_str(), 1LL << 40), 0);  // sparse: refused by its size alone
    EXPECT_EQ(xmllib_load_config(), XMLLIB_E_CONFIG_TOO_LARGE);
}

TEST_F(XmlLib, ConfigurationAndPoliciesOthersMayWriteAreRefused) {
    const bool root = ::geteuid() == 0;
    struct Case {
        std::string path;
        mode_t mode;
        uid_t owner;
        std::string why;
    };
    const std::vector<Case> cases = {
        {config_, 0666, static_cast<uid_t>(-1), "others may write it"},
        {policy_dir_, 0777, static_cast<uid_t>(-1), "policy directory"},
        {policy_dir_ + "/nm.xml", 0646, static_cast<uid_t>(-1), "policy " + policy_dir_ + "/nm.xml"},
        {policy_dir_ + "/tavik.xml", static_cast<mode_t>(root ? 0644 : 0646),
         root ? 65534u : static_cast<uid_t>(-1), root ? "another user owns it" : "others may write"},
    };
    ASSERT_EQ(xmllib_init("test"), XMLLIB_OK);
    write_file(config_, "<root/>");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        struct stat before {};
        ASSERT_EQ(::stat(c.path.c_str(), &before), 0);
        ASSERT_EQ(::chmod(c.path.c_str(), c.mode), 0);
        ASSERT_EQ(::chown(c.path.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        EXPECT_EQ(xmllib_load_config(), XMLLIB_E_UNTRUSTED);
        const std::string why = xmllib_last_error();
        EXPECT_NE(why.find(c.path), std::string::npos) << why;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        ASSERT_EQ(::chmod(c.path.c_str(), before.st_mode & 07777), 0);
        ASSERT_EQ(::chown(c.path.c_str(), before.st_uid, static_cast<gid_t>(-1)), 0);
    }
    EXPECT_EQ(xmllib_load_config(), XMLLIB_OK) << xmllib_last_error();
    ASSERT_EQ(::chmod((policy_dir_ + "/all.xml").c_str(), 0642), 0);  // after the configuration
    EXPECT_EQ(xmllib_load_policy("all"), XMLLIB_E_POLICY_BAD);
    EXPECT_NE(std::string(xmllib_last_error()).find("others may write it"), std::string::npos);
}

TEST_F(XmlLib, MalformedConfigurations) {
    ASSERT_EQ(xmllib_init("test"), XMLLIB_OK);
    const std::string documents[] = {
        "",
        "  \n ",
        "<root>",
        "<root><a></b></root>",
        "<root/><root/>",
        "<root/>junk",
        "junk<root/>",
        "<cluster/>",
        "<root a='1' a='2'/>",
        "<root><x a='1' a='2'/></root>",
        "<root>\x01</root>",
        std::string("<root>\0</root>", 14),
        "<root>a&#0;b</root>",
        "<root>a&#x1;b</root>",
        "<root>&#xD800;</root>",
        "<root>\xff</root>",
        "<root>\xc0\xaf</root>",  // an overlong '/'
        "<root>\xe2\x82</root>",  // cut short
    };
    for (const std::string &text : documents) {
        SCOPED_TRACE(::testing::PrintToString(text));
        EXPECT_EQ(load(text), XMLLIB_E_CONFIG_MALFORMED);
        EXPECT_NE(std::string(xmllib_last_error()).find(config_), std::string::npos);
    }
    EXPECT_EQ(load("<root>\n  <a>\n</root>\n"), XMLLIB_E_CONFIG_MALFORMED);
    EXPECT_NE(std::string(xmllib_last_error()).find(config_ + ":3:"), std::string::npos)
        << xmllib_last_error();
    EXPECT_EQ(load("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- c --><root>&#x41;&lt;</root>\n"), XMLLIB_OK)
        << xmllib_last_error();
}

TEST_F(XmlLib, NoDtdNoEntities) {
    ASSERT_EQ(xmllib_init("test"), XMLLIB_OK);
    const char *laughs = R"(<?xml version="1.0"?>
<!DOCTYPE root [
  <!ENTITY a "aaaaaaaaaa">
  <!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
  <!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">
]>
<root><heartbeat><v>&c;</v></heartbeat></root>)";
    EXPECT_EQ(load(laughs), XMLLIB_E_CONFIG_DOCTYPE);
    EXPECT_EQ(load(R"(<!DOCTYPE root SYSTEM "file:///etc/passwd"><root/>)"), XMLLIB_E_CONFIG_DOCTYPE);
    EXPECT_EQ(load("<root/><!DOCTYPE root>"), XMLLIB_E_CONFIG_DOCTYPE);

    // Without a DTD an entity reference is only text.
    ASSERT_EQ(load("<root><heartbeat><v>&c;</v></heartbeat></root>"), XMLLIB_OK);
    std::string text;
    ASSERT_EQ(get_string("/root/heartbeat/v", text), XMLLIB_OK);
    EXPECT_EQ(text, "&c;");
}

TEST_F(XmlLib, FailedReloadKeepsTheLoadedConfiguration) {
    start("<root><heartbeat><v>1</v></heartbeat></root>");
    int value = 0;
    EXPECT_EQ(load("<root><heartbeat><v>2</v></heartbeat>"), XMLLIB_E_CONFIG_MALFORMED);
    ASSERT_EQ(get_int("/root/heartbeat/v", value), XMLLIB_OK);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(load("<root><heartbeat><v>2</v></heartbeat></root>"), XMLLIB_OK);
    ASSERT_EQ(get_int("/root/heartbeat/v", value), XMLLIB_OK);
    EXPECT_EQ(value, 2);
    ASSERT_EQ(xmllib_unload_config(), XMLLIB_OK);
    EXPECT_EQ(get_int("/root/heartbeat/v", value), XMLLIB_E_NOT_LOADED);
}

// ---- the element index ----

// Every path that names an element of a tricky document, and some that name none, give
// the element the sibling walk gives: first match in document order, a part without '@'
// taking the first element of its name, "x@" the first with an empty name, processing
// instructions and comments named like elements, and names shared across parents.
TEST(ElementIndex, AgreesWithTheSiblingWalk) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(R"(<root>
      <server name="n1"><device name="0"><info>a</info></device><device name="0"><info>b</info></device></server>
      <!-- server name="n1" -->
      <?server name="pi"?>
      <server><device name="1"><info>c</info></device></server>
      <server name=""><device><info>d</info></device></server>
      <server name="n1"><device name="9"><info>e</info></device></server>
      <heartbeat><tavik name="hb1"><device>1</device></tavik><tavik name="hb@2"/><tavik name="hb1"/></heartbeat>
      <device name="0"><info>top</info></device>
    </root>)",
                                pugi::parse_default | pugi::parse_pi | pugi::parse_comments));
    const pugi::xml_node root = doc.document_element();
    const zvrxml::ElementIndex index(root);

    // Paths from every element: its chain of element names, each part with and without
    // its name, plus names and elements that exist nowhere.
    std::vector<std::vector<zvrxml::PathPart>> paths;
    std::vector<std::pair<pugi::xml_node, std::vector<zvrxml::PathPart>>> pending{{root, {}}};
    while (!pending.empty()) {
        auto [node, prefix] = pending.back();
        pending.pop_back();
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
            if (*child.name() == '\0') {
                continue;
            }
            std::vector<std::optional<std::string>> names{std::nullopt, std::string("absent")};
            if (pugi::xml_attribute a = child.attribute("name")) {
                names.emplace_back(a.value());
            }
            for (const auto &name : names) {
                auto path = prefix;
                path.push_back({child.name(), name});
                paths.push_back(path);
                pending.emplace_back(child, path);
            }
        }
        auto missing = prefix;
        missing.push_back({"nothing", std::nullopt});
        paths.push_back(missing);
    }
    ASSERT_GT(paths.size(), 40U);
    int found = 0;
    for (const auto &path : paths) {
        std::string text;
        for (const auto &part : path) {
            text += "/" + part.element + (part.name ? "@" + *part.name : "");
        }
        SCOPED_TRACE(text);
        pugi::xml_node walked = zvrxml::resolve(root, path);
        EXPECT_EQ(index.resolve(path), walked);
        found += walked ? 1 : 0;
    }
    EXPECT_GT(found, 20);  // the comparison covered real hits, not only misses
}

// A configuration at the cluster's limits, read the way table construction reads it:
// every one of 4096 addresses comes back as its own value.
TEST_F(XmlLib, EveryAddressOfALargeClusterIsItsOwn) {
    std::string text = "<root>";
    for (int n = 1; n <= 32; ++n) {
        text += "<server name=\"node" + std::to_string(n) + "\">";
        for (int d = 1; d <= 128; ++d) {
            text += "<device name=\"" + std::to_string(d) + "\"><info>10." + std::to_string(d) + ".0." +
                    std::to_string(n) + "</info></device>";
        }
        text += "</server>";
    }
    start(text + "</root>");
    int wrong = 0;
    for (int n = 1; n <= 32; ++n) {
        for (int d = 1; d <= 128; ++d) {
            std::string ip;
            std::string path =
                "/root/server@node" + std::to_string(n) + "/device@" + std::to_string(d) + "/info";
            if (get_string(path, ip) != XMLLIB_OK ||
                ip != "10." + std::to_string(d) + ".0." + std::to_string(n)) {
                ADD_FAILURE() << path << " gave \"" << ip << "\": " << xmllib_last_error();
                if (++wrong == 5) {
                    return;
                }
            }
        }
    }
    std::string ip;
    EXPECT_EQ(get_string("/root/server@node33/device@1/info", ip), XMLLIB_E_NO_KEY);
    EXPECT_EQ(get_string("/root/server@node1/device@129/info", ip), XMLLIB_E_NO_KEY);
}

// ---- the example configuration, read the way the daemon reads it ----

TEST_F(XmlLib, ExampleConfigurationServesEveryDaemonKey) {
    ::setenv("TAVIK_CONFIG", (source_dir() + "/examples/cluster.xml").c_str(), 1);
    ::setenv("TAVIK_POLICY_DIR", (source_dir() + "/policy").c_str(), 1);
    ASSERT_EQ(xmllib_init("tavik"), XMLLIB_OK) << xmllib_last_error();
    ASSERT_EQ(xmllib_load_config(), XMLLIB_OK) << xmllib_last_error();

    struct Key {
        const char *policy;
        const char *path;
        int value;
    };
    // In the daemon's order: log channel, scheduling, then the heartbeat parameters.
    const Key keys[] = {
        {"tavik", "/root/tavik/log/level", 4},
        {"tavik", "/root/tavik/log/size", 1000000},
        {"tavik", "/root/tavik/nice", -20},
        {"tavik", "/root/tavik/sched/schedule", 0},
        {"tavik", "/root/tavik/sched/priority", 0},
        {"tavik", "/root/tavik/watchth", 1},
        {"all", "/root/all/num/server", 32},
        {"all", "/root/all/num/hbr", 128},
        {"nm", "/root/cluster/heartbeat/timeout", 90000},
        {"nm", "/root/cluster/heartbeat/interval", 3000},
        {"nm", "/root/cluster/delaywarn/heartbeat", 80},
        {"tavik", "/root/tavik/thread/stacksize", 0},
    };
    for (const Key &k : keys) {
        SCOPED_TRACE(k.path);
        ASSERT_EQ(xmllib_load_policy(k.policy), XMLLIB_OK) << xmllib_last_error();
        int value = 0;
        EXPECT_EQ(get_int(k.path, value), XMLLIB_OK) << xmllib_last_error();
        EXPECT_EQ(value, k.value);
        if (std::strcmp(k.path, "/root/tavik/nice") == 0) {
            std::string mlock;
            EXPECT_EQ(get_string("/root/tavik/mlock", mlock, 16), XMLLIB_OK) << xmllib_last_error();
            EXPECT_EQ(mlock, "no");
        }
        ASSERT_EQ(xmllib_unload_policy(k.policy), XMLLIB_OK);
    }
    // Table construction: no policy loaded.
    for (const char *rsc : {"hb1", "hb2"}) {
        int devid = -1;
        ASSERT_EQ(get_int(std::string("/root/heartbeat/tavik@") + rsc + "/device", devid), XMLLIB_OK) << rsc;
        EXPECT_EQ(devid, 0);
        for (int node = 1; node <= 3; ++node) {
            std::string ip;
            std::string path =
                "/root/server@node" + std::to_string(node) + "/device@" + std::to_string(devid) + "/info";
            ASSERT_EQ(get_string(path, ip, 46), XMLLIB_OK) << path;
            EXPECT_EQ(ip, "127.0.1." + std::to_string(node));
        }
    }
    ASSERT_EQ(xmllib_unload_config(), XMLLIB_OK);
    EXPECT_GT(xmllib_times(0), 0);  // the clock outlives the configuration
}

// ---- the tick clock ----

clock_t ticks_now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    long rate = ::sysconf(_SC_CLK_TCK);
    return static_cast<clock_t>(ts.tv_sec * rate + ts.tv_nsec * rate / 1000000000L);
}

TEST_F(XmlLib, TicksAreMonotonicAtTheSystemRate) {
    ASSERT_EQ(xmllib_init("test"), XMLLIB_OK);
    clock_t before = ticks_now();
    clock_t t = xmllib_times(0);
    clock_t after = ticks_now();
    EXPECT_LE(before, t);
    EXPECT_LE(t, after);
    ::usleep(30000);
    EXPECT_GE(xmllib_times(0) - t, 30 * ::sysconf(_SC_CLK_TCK) / 1000 - 1);
}

// Worker threads take ticks and fail reads of their own while the main thread loads,
// reads and unloads; each thread must see its own failure text.
TEST_F(XmlLib, ClockAndReadsFromSeveralThreads) {
    start("<root><tavik><nice>3</nice></tavik></root>");
    std::atomic<bool> stop{false};
    std::atomic<int> faults{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w) {
        workers.emplace_back([&, w] {
            std::string mine = "/root/heartbeat/worker" + std::to_string(w);
            clock_t last = xmllib_times(0);
            while (!stop.load()) {
                clock_t now = xmllib_times(0);
                int value = 0;
                int size = 4;
                if (now < last ||
                    xmllib_get_value(mine.c_str(), XMLLIB_TYPE_INT, &value, &size) != XMLLIB_E_NO_KEY ||
                    std::string(xmllib_last_error()).find(mine) == std::string::npos) {
                    faults++;
                }
                last = now;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(xmllib_load_policy("tavik"), XMLLIB_OK);
        int value = 0;
        EXPECT_EQ(get_int("/root/tavik/nice", value), XMLLIB_OK);
        EXPECT_EQ(get_int("/root/tavik/watchth", value), XMLLIB_E_NO_KEY);
        ASSERT_EQ(xmllib_unload_policy("tavik"), XMLLIB_OK);
        if (i % 50 == 0) {
            ASSERT_EQ(xmllib_load_config(), XMLLIB_OK);
        }
    }
    stop = true;
    for (auto &t : workers) {
        t.join();
    }
    EXPECT_EQ(faults.load(), 0);
}

}  // namespace
