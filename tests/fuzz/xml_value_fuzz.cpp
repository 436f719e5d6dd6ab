// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: xmllib_get_value with any path, type and buffer size against one fixed
// configuration (below: the daemon's keys plus values at every limit the library
// draws: hex, signs, out-of-range, split text, CDATA, nested elements, names with '@',
// empty names, strings just fitting the daemon's buffers). Which policies are loaded is
// part of the input. What must hold, whatever the call:
//  - the result is one of the library's codes, and argument faults are refused first;
//  - on failure the buffer and the size are untouched;
//  - on success an integer fills exactly 4 bytes, and a string is NUL-terminated within
//    the size given, *size counts it with its NUL, and nothing after it is written;
//  - below the layout roots, where any type may be read, an integer read succeeds
//    exactly when the key's text is an integer by the documented grammar (checked by a
//    reference parser here) and yields its value.
// The buffer is a heap block of exactly the size claimed (up to 4 KiB; the fixed
// configuration holds no value that long, so larger claims get 4 KiB), so ASan sees
// any write past it. Single-threaded.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <memory>
#include <optional>
#include <vector>

#include "fuzz_check.h"
#include "zvrxml.h"

namespace {

constexpr const char kConfig[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<root>
  <tavik>
    <nice> -20 </nice>
    <mlock>YES</mlock>
    <sched><schedule>0x1</schedule><priority>12abc</priority></sched>
    <watchth>+1</watchth>
    <thread><stacksize>2147483648</stacksize></thread>
    <log><level>0x7fffffff</level><size><![CDATA[100]]>0000</size></log>
    <unknown>1</unknown>
  </tavik>
  <all>
    <num><server>3<!-- two parts -->2</server><hbr><n>1</n></hbr></num>
  </all>
  <cluster>
    <heartbeat><timeout>-2147483648</timeout><interval></interval></heartbeat>
    <delaywarn><heartbeat>0x-1</heartbeat></delaywarn>
  </cluster>
  <server name="node1">
    <priority>1</priority>
    <device name="0"><info>127.0.1.1</info></device>
    <device name="1"><info>127.0.1.1/24</info></device>
    <device name="2"><info>123456789012345678901234567890123456789012345</info></device>
    <device name="3"><info>1234567890123456789012345678901234567890123456</info></device>
  </server>
  <server name="a@b"><priority> 0x10 </priority><device name="0"><info>127.0.2.1</info></device></server>
  <server name=""><priority>-0</priority><device name="00"><info>  </info></device></server>
  <server name="node1"><priority>99</priority></server>
  <server><priority>2147483647</priority></server>
  <server name="with space"><priority>1 2</priority><device name="0"><info>&#65;&amp;&lt;</info></device></server>
  <heartbeat>
    <tavik name="hb1"><priority>1</priority><device>0</device></tavik>
    <tavik name="hb@2"><priority>-2147483649</priority><device>0x0</device></tavik>
    <tavik name=""><priority>0X1f</priority><device> 1 </device></tavik>
    <tavik name="hb1"><device>2</device></tavik>
    <other name="hb3"><device>0</device></other>
    <tavik name="0123456789012345678901234567890"><device>3</device></tavik>
    <tavik name="deep"><device><a><b>1</b></a></device></tavik>
  </heartbeat>
</root>
)";

constexpr const char *kPolicies[] = {"tavik", "all", "nm"};
constexpr int kMaxBuffer = 4096;
constexpr unsigned char kFill = 0xa5;

// The documented integer grammar, written independently of the library: blanks around,
// then an optional sign and decimal digits, or 0x/0X and hex digits without a sign; the
// value within 32 bits. Empty when not an integer; out_of_range set when it is one that
// does not fit.
std::optional<int> reference_int(std::string_view text, bool &out_of_range) {
    out_of_range = false;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    std::string digits(text);
    bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    std::size_t first = hex ? 2 : (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) ? 1 : 0;
    if (first >= digits.size()) {
        return std::nullopt;
    }
    for (std::size_t i = first; i < digits.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(digits[i]);
        if (!(hex ? std::isxdigit(c) : std::isdigit(c))) {
            return std::nullopt;
        }
    }
    errno = 0;
    long long v = hex ? static_cast<long long>(std::min(std::strtoull(digits.c_str() + 2, nullptr, 16),
                                                        static_cast<unsigned long long>(LLONG_MAX)))
                      : std::strtoll(digits.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) {
        out_of_range = true;
        return std::nullopt;
    }
    return static_cast<int>(v);
}

bool known_result(int rc) {
    return rc >= XMLLIB_OK && rc <= XMLLIB_E_INTERNAL;
}

// Whether buf[from, to) still holds the fill pattern. memcmp against a filled block
// rather than a loop here: the fuzzer traces every comparison of a loop it compiles.
bool untouched(const unsigned char *buf, std::size_t from, std::size_t to) {
    static const std::vector<unsigned char> fill(kMaxBuffer, kFill);
    return from >= to || std::memcmp(buf + from, fill.data(), to - from) == 0;
}

unsigned loaded_policies = 0;

void load_policies(unsigned mask) {
    for (unsigned i = 0; i < 3; ++i) {
        unsigned bit = 1u << i;
        if ((mask & bit) == (loaded_policies & bit)) {
            continue;
        }
        int rc = (mask & bit) != 0 ? xmllib_load_policy(kPolicies[i]) : xmllib_unload_policy(kPolicies[i]);
        FUZZ_CHECK(rc == XMLLIB_OK, "%s policy %s: %d (%s)", (mask & bit) != 0 ? "loading" : "unloading",
                   kPolicies[i], rc, xmllib_last_error());
    }
    loaded_policies = mask;
}

// Below /root/heartbeat/ and /root/server, no policy decides the type: a string read
// and an integer read of the same key must tell the same story.
void check_int_against_text(const char *path) {
    std::vector<char> text(kMaxBuffer, '\0');
    int text_size = kMaxBuffer;
    int text_rc = xmllib_get_value(path, XMLLIB_TYPE_STRING, text.data(), &text_size);
    int value = 0;
    int int_size = 4;
    int int_rc = xmllib_get_value(path, XMLLIB_TYPE_INT, &value, &int_size);
    if (text_rc != XMLLIB_OK) {
        FUZZ_CHECK(int_rc == text_rc, "%s: string read %d, integer read %d", path, text_rc, int_rc);
        return;
    }
    bool out_of_range = false;
    std::optional<int> want = reference_int(text.data(), out_of_range);
    if (want) {
        FUZZ_CHECK(int_rc == XMLLIB_OK && value == *want, "%s: \"%s\" is %d, the library says %d (value %d)",
                   path, text.data(), *want, int_rc, value);
    } else {
        int expected = out_of_range ? XMLLIB_E_INT_RANGE : XMLLIB_E_NOT_INT;
        FUZZ_CHECK(int_rc == expected, "%s: \"%s\" should fail with %d, the library says %d", path,
                   text.data(), expected, int_rc);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string config = fuzz::scratch_dir() + "/cluster.xml";
    fuzz::write_file(config, kConfig);
    ::setenv("TAVIK_CONFIG", config.c_str(), 1);
    ::setenv("TAVIK_POLICY_DIR", TAVIK_SOURCE_DIR "/policy", 1);
    FUZZ_CHECK(xmllib_init("fuzz") == XMLLIB_OK, "xmllib_init: %s", xmllib_last_error());
    FUZZ_CHECK(xmllib_load_config() == XMLLIB_OK, "xmllib_load_config: %s", xmllib_last_error());
    return 0;
}

// Input: flags (bits 0-2 the policies tavik, all, nm loaded; bit 3 a null path, 4 a
// null buffer, 5 a null size, 6 the type byte taken as it is instead of its low bit),
// the type byte, the size as 4 bytes little-endian, then the path (up to a NUL).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::Reader in(data, size);
    const unsigned flags = in.byte();
    const std::uint8_t type_byte = in.byte();
    const int type = (flags & 0x40) != 0 ? static_cast<std::int8_t>(type_byte) : type_byte & 1;
    const int claimed = in.int32();
    std::string_view rest = in.rest();
    const std::string path(rest.substr(0, rest.find('\0')));

    load_policies(flags & 7);

    const std::size_t capacity = claimed <= 0 ? 0 : static_cast<std::size_t>(std::min(claimed, kMaxBuffer));
    std::unique_ptr<unsigned char[]> buf(new unsigned char[capacity]);
    std::memset(buf.get(), kFill, capacity);
    int size_var = claimed;

    const bool null_path = (flags & 0x08) != 0;
    const bool null_buf = (flags & 0x10) != 0;
    const bool null_size = (flags & 0x20) != 0;
    const int rc = xmllib_get_value(null_path ? nullptr : path.c_str(), type, null_buf ? nullptr : buf.get(),
                                    null_size ? nullptr : &size_var);

    FUZZ_CHECK(known_result(rc), "result %d is no result of the library", rc);
    FUZZ_CHECK(xmllib_last_error() != nullptr, "xmllib_last_error is null");
    const bool bad_type = type != XMLLIB_TYPE_INT && type != XMLLIB_TYPE_STRING;
    const bool too_small = claimed < (type == XMLLIB_TYPE_INT ? 4 : 1);
    if (null_path || null_buf || null_size || bad_type || too_small) {
        FUZZ_CHECK(rc == XMLLIB_E_ARGUMENT, "a bad argument (flags %#x, type %d, size %d) gave %d", flags,
                   type, claimed, rc);
    }

    if (rc != XMLLIB_OK) {
        FUZZ_CHECK(*xmllib_last_error() != '\0', "failure %d without a text", rc);
        FUZZ_CHECK(size_var == claimed, "failure %d changed the size from %d to %d", rc, claimed, size_var);
        FUZZ_CHECK(untouched(buf.get(), 0, capacity), "failure %d wrote into the buffer", rc);
    } else if (type == XMLLIB_TYPE_INT) {
        FUZZ_CHECK(size_var == 4, "an integer read set the size to %d", size_var);
        FUZZ_CHECK(untouched(buf.get(), 4, capacity), "an integer read wrote past 4 bytes");
    } else {
        FUZZ_CHECK(size_var >= 1 && size_var <= claimed, "a string read set the size from %d to %d", claimed,
                   size_var);
        const std::size_t stored = static_cast<std::size_t>(size_var);
        FUZZ_CHECK(buf[stored - 1] == '\0', "the string read is not NUL-terminated at its size %d", size_var);
        FUZZ_CHECK(std::strlen(reinterpret_cast<const char *>(buf.get())) == stored - 1,
                   "the string read holds a NUL before its end (%zu of %d)",
                   std::strlen(reinterpret_cast<const char *>(buf.get())), size_var);
        FUZZ_CHECK(untouched(buf.get(), stored, capacity), "a string read of %d bytes wrote past them",
                   size_var);
    }

    if (!null_path && (path.rfind("/root/heartbeat/", 0) == 0 || path.rfind("/root/server", 0) == 0)) {
        check_int_against_text(path.c_str());
    }
    return 0;
}
