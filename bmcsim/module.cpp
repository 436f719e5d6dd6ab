// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated BMC module that ipmi_sim loads ("loadlib"): it registers the OEM
// commands of the heartbeat firmware (firmware.h), binds the heartbeat UDP socket on the
// BMC's own address and sends a heartbeat round every period. Written against the module
// API of OpenIPMI 2.0.33. Everything runs in ipmi_sim's single select loop, so the module's
// state needs no lock; nothing here blocks (the socket is non-blocking).
#include <OpenIPMI/ipmiif.h>
extern "C" {
#include <OpenIPMI/lanserv.h>
#include <OpenIPMI/mcserv.h>
}

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "firmware.h"

#if OPENIPMI_VERSION_MAJOR != 2 || OPENIPMI_VERSION_MINOR != 0 || OPENIPMI_VERSION_RELEASE >= 37
#error "this module is written for the module API of OpenIPMI 2.0 before 2.0.37"
#endif

namespace {

using tavik::bmcsim::Firmware;
using tavik::bmcsim::Ip4;
namespace proto = tavik::bmcproto;

constexpr const char *kVersion = "tavik heartbeat firmware 1.0";

struct Module {
    sys_data_t *sys = nullptr;
    std::unique_ptr<Firmware> fw;
    int fd = -1;
    ipmi_io_t *io = nullptr;
    ipmi_timer_t *timer = nullptr;
    unsigned send_errors = 0;
};

Module g_module;

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void send_round() {
    Module &m = g_module;
    for (const auto &d : m.fw->heartbeat(now_ms())) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m.fw->options().hb_port);
        std::memcpy(&to.sin_addr, d.to.data(), 4);
        if (sendto(m.fd, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) <
            0) {
            // A peer that is down is routine; log the first few so a wrong setup shows.
            if (m.send_errors++ < 5) {
                m.sys->log(m.sys, OS_ERROR, nullptr, "heartbeat to %s failed: %s",
                           tavik::bmcsim::format_ip(d.to).c_str(), std::strerror(errno));
            }
        }
    }
}

void on_timer(void *) {
    Module &m = g_module;
    try {
        send_round();
    } catch (...) {
        m.sys->log(m.sys, OS_ERROR, nullptr, "heartbeat round failed");
    }
    timeval tv{};
    tv.tv_sec = m.fw->options().period_ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(m.fw->options().period_ms % 1000) * 1000;
    m.sys->start_timer(m.timer, &tv);
}

void on_readable(int fd, void *) {
    Module &m = g_module;
    for (;;) {
        std::uint8_t buf[512];
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &flen);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                m.sys->log(m.sys, OS_ERROR, nullptr, "heartbeat receive failed: %s", std::strerror(errno));
            }
            if (errno != EINTR) {
                break;
            }
            continue;
        }
        if (flen < sizeof from || from.sin_family != AF_INET) {
            continue;
        }
        Ip4 ip{};
        std::memcpy(ip.data(), &from.sin_addr, 4);
        try {
            m.fw->receive(ip, buf, static_cast<std::size_t>(n), now_ms());
        } catch (...) {
            m.sys->log(m.sys, OS_ERROR, nullptr, "heartbeat datagram not handled");
        }
    }
}

void on_request(lmc_data_t *, msg_t *msg, unsigned char *rdata, unsigned int *rdata_len, void *) {
    Module &m = g_module;
    const unsigned capacity = *rdata_len;
    try {
        tavik::bmcsim::Response r = m.fw->handle(msg->cmd, msg->data, msg->len, now_ms());
        if (1 + r.len > capacity) {
            rdata[0] = proto::kCcUnspecified;
            *rdata_len = 1;
            return;
        }
        rdata[0] = r.cc;
        std::memcpy(rdata + 1, r.data.data(), r.len);
        *rdata_len = static_cast<unsigned>(1 + r.len);
        // A changed host state reaches the peers at once, not a period later.
        if (m.fw->announcement_due(now_ms())) {
            send_round();
        }
    } catch (...) {
        rdata[0] = proto::kCcUnspecified;
        *rdata_len = 1;
    }
}

int open_socket(const tavik::bmcsim::Options &opt) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(opt.hb_port);
    std::memcpy(&a.sin_addr, opt.addr.data(), 4);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    return fd;
}

int init(sys_data_t *sys, const char *options) {
    Module &m = g_module;
    tavik::bmcsim::Options opt;
    std::string err;
    if (!tavik::bmcsim::parse_options(options ? options : "", opt, err)) {
        std::fprintf(stderr, "tavik heartbeat module: %s (options \"%s\")\n", err.c_str(),
                     options ? options : "");
        return EINVAL;
    }
    int fd = open_socket(opt);
    if (fd < 0) {
        std::fprintf(stderr, "tavik heartbeat module: cannot bind heartbeat socket %s:%u: %s\n",
                     tavik::bmcsim::format_ip(opt.addr).c_str(), opt.hb_port, std::strerror(-fd));
        return -fd;
    }
    m.sys = sys;
    m.fd = fd;
    m.fw = std::make_unique<Firmware>(opt);
    for (std::uint8_t cmd :
         {proto::kCmdSetTargets, proto::kCmdGetStatus, proto::kCmdGetTargets, proto::kCmdGetFirmwareState,
          proto::kCmdSetHostStatus, proto::kCmdSetAccessTime, proto::kCmdTestControl}) {
        int rv = ipmi_emu_register_cmd_handler(proto::kNetFn, cmd, on_request, nullptr);
        if (rv != 0) {
            std::fprintf(stderr, "tavik heartbeat module: cannot register command %#x: %s\n", cmd,
                         std::strerror(rv));
            return rv;
        }
    }
    int rv = sys->add_io_hnd(sys, fd, on_readable, nullptr, &m.io);
    if (rv == 0) {
        rv = sys->alloc_timer(sys, on_timer, nullptr, &m.timer);
    }
    if (rv != 0) {
        std::fprintf(stderr, "tavik heartbeat module: cannot set up the event loop: %s\n", std::strerror(rv));
        return rv;
    }
    timeval first{0, 1000};
    sys->start_timer(m.timer, &first);
    sys->log(sys, INFO, nullptr, "%s on %s, heartbeat port %u, period %u ms", kVersion,
             tavik::bmcsim::format_ip(opt.addr).c_str(), opt.hb_port, opt.period_ms);
    return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int ipmi_sim_module_init(sys_data_t *sys,
                                                                const char *options) noexcept {
    try {
        return init(sys, options);
    } catch (...) {
        std::fprintf(stderr, "tavik heartbeat module: initialisation failed\n");
        return ENOMEM;
    }
}

__attribute__((visibility("default"))) int ipmi_sim_module_print_version(sys_data_t *, char *) noexcept {
    std::printf("%s\n", kVersion);
    return 0;
}

}  // extern "C"
