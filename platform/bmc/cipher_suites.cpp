// SPDX-License-Identifier: GPL-3.0-or-later
// Choosing the cipher suite (cipher_suites.h).
#include "cipher_suites.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "fiid_obj.h"

namespace tavik::bmc {

namespace {

constexpr std::uint8_t kCmdGetCipherSuites = 0x54;
constexpr std::size_t kRecordBytesPerAnswer = 16;  // fewer: the last answer of the list
constexpr std::uint8_t kMaxListIndex = 0x3f;
// The suites tavik takes, strongest first.
constexpr std::uint8_t kPreferred[] = {17, 3};

int build_request(std::uint8_t seq, std::uint8_t index, std::uint8_t *buf, unsigned len) {
    FiidObj cmd(tmpl_cmd_get_channel_cipher_suites_rq);
    if (cmd.obj == nullptr ||
        fill_cmd_get_channel_cipher_suites(IPMI_CHANNEL_NUMBER_CURRENT_CHANNEL, IPMI_PAYLOAD_TYPE_IPMI, index,
                                           IPMI_LIST_ALGORITHMS_BY_CIPHER_SUITE, cmd.obj) < 0) {
        return -1;
    }
    return pack_sessionless_request(seq, cmd, buf, len);
}

// The record data of an answer with sequence `seq`: 1 taken, 0 not that answer, -1 refused.
int read_answer(const std::uint8_t *buf, unsigned len, std::uint8_t seq, std::vector<std::uint8_t> &data) {
    FiidObj cmd(tmpl_cmd_get_channel_cipher_suites_rs);
    if (!unpack_sessionless_answer(buf, len, seq, cmd)) {
        return 0;
    }
    std::uint64_t command = 0, cc = 0;
    if (fiid_obj_get(cmd.obj, "cmd", &command) != 1 || command != kCmdGetCipherSuites) {
        return 0;
    }
    if (fiid_obj_get(cmd.obj, "comp_code", &cc) != 1 || cc != 0) {
        return -1;
    }
    std::uint8_t records[kRecordBytesPerAnswer];
    const int n = fiid_obj_get_data(cmd.obj, "cipher_suite_record_data", records, sizeof records);
    data.assign(records, records + std::max(n, 0));
    return 1;
}

bool resolve(const std::string &host, std::uint16_t port, sockaddr_in &to, std::string &err) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        err = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    std::memcpy(&to, res->ai_addr, sizeof to);
    to.sin_port = htons(port);
    freeaddrinfo(res);
    return true;
}

}  // namespace

std::vector<std::uint8_t> offered_suites(const std::vector<std::uint8_t> &records) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
        if (records[i] == 0xc0 || records[i] == 0xc1) {
            out.push_back(records[i + 1]);
            i += records[i] == 0xc1 ? 4 : 1;  // the OEM record's IANA number
        }
    }
    return out;
}

bool choose_suite(const std::vector<std::uint8_t> &offered, std::uint8_t &suite, std::string &why) {
    for (std::uint8_t want : kPreferred) {
        if (std::find(offered.begin(), offered.end(), want) != offered.end()) {
            suite = want;
            return true;
        }
    }
    why = "the BMC offers cipher suites";
    for (std::uint8_t s : offered) {
        why += " " + std::to_string(s);
    }
    why += offered.empty() ? " none" : "";
    why += "; tavik takes 17 or 3 (set cipher_suite to another that FreeIPMI speaks)";
    return false;
}

bool query_cipher_suites(const std::string &host, std::uint16_t port, unsigned timeout_ms,
                         std::vector<std::uint8_t> &records, std::string &err) {
    sockaddr_in to{};
    if (!resolve(host, port, to, err)) {
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err =
            std::string("cannot create a socket: ") + std::strerror(errno);  // NOLINT(concurrency-mt-unsafe)
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    records.clear();
    for (std::uint8_t index = 0; index <= kMaxListIndex; ++index) {
        std::uint8_t buf[256];
        const std::uint8_t seq = static_cast<std::uint8_t>(index + 1);
        const int n = build_request(seq, index, buf, sizeof buf);
        if (n <= 0 || sendto(fd, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr *>(&to),
                             sizeof to) != n) {
            err = "cannot send Get Channel Cipher Suites to " + host;
            return false;
        }
        std::vector<std::uint8_t> data;
        int got = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            pollfd pfd{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                err = "no answer to Get Channel Cipher Suites from " + host;
                return false;
            }
            const ssize_t r = recv(fd, buf, sizeof buf, 0);
            got = r > 0 ? read_answer(buf, static_cast<unsigned>(r), seq, data) : 0;
        }
        if (got < 0) {
            err = host + " refused Get Channel Cipher Suites";
            return false;
        }
        records.insert(records.end(), data.begin(), data.end());
        if (data.size() < kRecordBytesPerAnswer) {
            return true;
        }
    }
    return true;
}

std::uint8_t session_suite(std::uint8_t configured, const std::string &host, std::uint16_t port,
                           unsigned timeout_ms, std::string &note, bool &settled) {
    settled = true;
    if (configured != kCipherSuiteAuto) {
        return configured;
    }
    std::vector<std::uint8_t> records;
    std::string err;
    std::uint8_t suite = kCipherSuiteFallback;
    if (!query_cipher_suites(host, port, timeout_ms, records, err)) {
        settled = false;
        note = err + "; cipher suite " + std::to_string(suite) + " tried";
    } else if (!choose_suite(offered_suites(records), suite, note)) {
        suite = kCipherSuiteFallback;
        note += "; cipher suite 3 tried";
    } else {
        note = "cipher suite " + std::to_string(suite) + " chosen";
    }
    return suite;
}

}  // namespace tavik::bmc
