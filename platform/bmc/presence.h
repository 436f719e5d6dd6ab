// SPDX-License-Identifier: GPL-3.0-or-later
// RMCP/ASF presence ping (standard driver): a datagram every IPMI LAN BMC answers with a
// pong, without a session or credentials; for BMCs that answer no ping, Get Channel
// Authentication Capabilities outside a session, which every LAN BMC answers since every
// session starts with it. Packets are built and read with FreeIPMI. A Pinger owns one
// non-blocking UDP socket; it is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace tavik::bmc {

class Pinger {
  public:
    Pinger() = default;
    ~Pinger();
    Pinger(const Pinger &) = delete;
    Pinger &operator=(const Pinger &) = delete;

    bool open(std::string &err);
    int fd() const { return fd_; }
    // Sends a ping with `tag` to ip (network byte order):port; false when it cannot be sent.
    bool ping(std::uint32_t ip, std::uint16_t port, std::uint8_t tag);
    // Sends Get Channel Authentication Capabilities with sequence number tag % 64.
    bool ask_capabilities(std::uint32_t ip, std::uint16_t port, std::uint8_t tag);
    // What receive() read.
    enum Answer { kNone, kPong, kCapabilities };
    // Reads one waiting datagram: a pong with `tag` or the answer to ask_capabilities with
    // it, with the sender. `more` is false once nothing is left to read.
    Answer receive(std::uint8_t tag, std::uint32_t &ip, std::uint16_t &port, bool &more);

  private:
    bool send_to(std::uint32_t ip, std::uint16_t port, const std::uint8_t *buf, int n);
    int fd_ = -1;
};

// The bytes of a ping, and whether bytes are a pong carrying `tag` (for tests).
int build_ping(std::uint8_t tag, std::uint8_t *buf, unsigned len);
// A BMC's IPv4 address (network byte order) as text, for messages and session targets.
std::string ip_text(std::uint32_t ip);

bool is_pong(const std::uint8_t *buf, unsigned len, std::uint8_t tag);
int build_capabilities_request(std::uint8_t tag, std::uint8_t *buf, unsigned len);
bool is_capabilities_answer(const std::uint8_t *buf, unsigned len, std::uint8_t tag);

}  // namespace tavik::bmc
