// SPDX-License-Identifier: GPL-3.0-or-later
// RMCP/ASF presence ping (presence.h).
#include "presence.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <freeipmi/freeipmi.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fiid_obj.h"

namespace tavik::bmc {

namespace {

constexpr std::uint8_t kPongType = 0x40;

using Obj = FiidObj;

}  // namespace

int build_ping(std::uint8_t tag, std::uint8_t *buf, unsigned len) {
    Obj hdr(tmpl_rmcp_hdr), cmd(tmpl_cmd_asf_presence_ping);
    if (hdr.obj == nullptr || cmd.obj == nullptr || fill_rmcp_hdr_asf(hdr.obj) < 0 ||
        fill_cmd_asf_presence_ping(tag, cmd.obj) < 0) {
        return -1;
    }
    return assemble_rmcp_pkt(hdr.obj, cmd.obj, buf, len, IPMI_INTERFACE_FLAGS_DEFAULT);
}

bool is_pong(const std::uint8_t *buf, unsigned len, std::uint8_t tag) {
    Obj hdr(tmpl_rmcp_hdr), cmd(tmpl_cmd_asf_presence_pong);
    if (hdr.obj == nullptr || cmd.obj == nullptr ||
        unassemble_rmcp_pkt(buf, len, hdr.obj, cmd.obj, IPMI_INTERFACE_FLAGS_DEFAULT) != 1) {
        return false;
    }
    std::uint64_t type = 0, got = 0;
    return fiid_obj_get(cmd.obj, "message_type", &type) == 1 && type == kPongType &&
           fiid_obj_get(cmd.obj, "message_tag", &got) == 1 && got == tag;
}

int build_capabilities_request(std::uint8_t tag, std::uint8_t *buf, unsigned len) {
    Obj cmd(tmpl_cmd_get_channel_authentication_capabilities_rq);
    if (cmd.obj == nullptr || fill_cmd_get_channel_authentication_capabilities(
                                  IPMI_CHANNEL_NUMBER_CURRENT_CHANNEL, IPMI_PRIVILEGE_LEVEL_USER,
                                  IPMI_GET_IPMI_V20_EXTENDED_DATA, cmd.obj) < 0) {
        return -1;
    }
    return pack_sessionless_request(static_cast<std::uint8_t>(tag % 64), cmd, buf, len);
}

bool is_capabilities_answer(const std::uint8_t *buf, unsigned len, std::uint8_t tag) {
    Obj cmd(tmpl_cmd_get_channel_authentication_capabilities_rs);
    std::uint64_t command = 0;
    return unpack_sessionless_answer(buf, len, static_cast<std::uint8_t>(tag % 64), cmd) &&
           fiid_obj_get(cmd.obj, "cmd", &command) == 1 &&
           command == IPMI_CMD_GET_CHANNEL_AUTHENTICATION_CAPABILITIES;
}

Pinger::~Pinger() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool Pinger::open(std::string &err) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        err = std::string("cannot create the presence ping socket: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool Pinger::send_to(std::uint32_t ip, std::uint16_t port, const std::uint8_t *buf, int n) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = ip;
    return sendto(fd_, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           n;
}

bool Pinger::ping(std::uint32_t ip, std::uint16_t port, std::uint8_t tag) {
    std::uint8_t buf[64];
    int n = build_ping(tag, buf, sizeof buf);
    if (n <= 0) {
        return false;
    }
    return send_to(ip, port, buf, n);
}

bool Pinger::ask_capabilities(std::uint32_t ip, std::uint16_t port, std::uint8_t tag) {
    std::uint8_t buf[128];
    int n = build_capabilities_request(tag, buf, sizeof buf);
    if (n <= 0) {
        return false;
    }
    return send_to(ip, port, buf, n);
}

Pinger::Answer Pinger::receive(std::uint8_t tag, std::uint32_t &ip, std::uint16_t &port, bool &more) {
    std::uint8_t buf[256];
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &flen);
    if (n < 0) {
        // An ICMP error for an earlier ping (a peer that is down) surfaces here too.
        more = errno == EINTR || errno == ECONNREFUSED;
        return kNone;
    }
    more = true;
    ip = from.sin_addr.s_addr;
    port = ntohs(from.sin_port);
    if (is_pong(buf, static_cast<unsigned>(n), tag)) {
        return kPong;
    }
    return is_capabilities_answer(buf, static_cast<unsigned>(n), tag) ? kCapabilities : kNone;
}

std::string ip_text(std::uint32_t ip) {
    char buf[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = ip;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

}  // namespace tavik::bmc
