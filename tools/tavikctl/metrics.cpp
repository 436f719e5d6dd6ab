// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl metrics [--listen [ADDR:]PORT] [--config FILE] [--name NAME]`: the namespace
// in the Prometheus text format, printed once (for node_exporter's textfile collector)
// or served over HTTP by libmicrohttpd at /metrics, on 127.0.0.1 unless an address is
// given. The configuration is read once at the start on the main thread; each scrape
// opens the namespace afresh (it may have been replaced), read-only, on libmicrohttpd's
// thread, which only uses libzvripc (thread-safe) and the settings read before it
// started. A client gets a few connections and a few seconds: many slow ones from one
// address must not keep the others' scrapes out.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "command.h"
#include "config_session.h"
#include "health.h"
#include "health_view.h"
#include "ipc_cli.h"
#include "metrics_text.h"

namespace {

struct MetricsOptions {
    std::string name;
    std::string config;
    std::string listen;
    unsigned client_timeout = 5;
};

// Connections one client address may hold at once, and all clients together.
constexpr unsigned kPerAddress = 4;
constexpr unsigned kConnections = 256;

struct Source {
    std::string ns;
    std::optional<tavikctl::TimingSettings> settings;
};

// The metrics text; `readable` says whether the namespace could be read.
std::string scrape(const Source &source, bool *readable = nullptr) {
    if (readable != nullptr) {
        *readable = true;
    }
    try {
        tavikctl::IpcHandle handle(source.ns, tavikctl::IpcHandle::ReadOnly::yes);
        tavikctl::Snapshot snap = tavikctl::take_snapshot(handle);
        std::optional<tavikctl::DetectionWindows> windows;
        if (source.settings) {
            windows = tavikctl::compute_windows(*source.settings, snap->ratio, sysconf(_SC_CLK_TCK));
        }
        tavikctl::HealthView health = tavikctl::read_health(handle, *snap, windows);
        return tavikctl::metrics_text(*snap, health, windows);
    } catch (const std::exception &e) {
        if (readable != nullptr) {
            *readable = false;
            (void)std::fprintf(stderr, "tavikctl metrics: %s\n", e.what());
        }
        return tavikctl::metrics_unreadable(source.ns, e.what());
    }
}

// [ADDR:]PORT, IPv4 only; the address defaults to loopback.
sockaddr_in parse_listen(const std::string &text) {
    std::string addr = "127.0.0.1";
    std::string port = text;
    if (auto colon = text.rfind(':'); colon != std::string::npos) {
        addr = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    char *end = nullptr;
    long p = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || p < 1 || p > 65535) {
        throw std::runtime_error("--listen \"" + text + "\": port \"" + port + "\" is not 1 to 65535");
    }
    sa.sin_port = htons(static_cast<std::uint16_t>(p));
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
        throw std::runtime_error("--listen \"" + text + "\": \"" + addr + "\" is not an IPv4 address");
    }
    return sa;
}

MHD_Result answer(void *cls, MHD_Connection *connection, const char *url, const char *method, const char *,
                  const char *, size_t *, void **) {
    const auto *source = static_cast<const Source *>(cls);
    std::string body;
    unsigned status = MHD_HTTP_OK;
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        body = "only GET\n";
    } else if (std::strcmp(url, "/metrics") != 0 && std::strcmp(url, "/") != 0) {
        status = MHD_HTTP_NOT_FOUND;
        body = "the metrics are at /metrics\n";
    } else {
        body = scrape(*source);
    }
    MHD_Response *response = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(
        response, MHD_HTTP_HEADER_CONTENT_TYPE,
        status == MHD_HTTP_OK ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain");
    MHD_Result rc = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return rc;
}

void serve(const Source &source, const std::string &listen, unsigned client_timeout) {
    sockaddr_in sa = parse_listen(listen);
    // The stop signals are taken synchronously on this thread; libmicrohttpd's thread
    // inherits the mask and never sees them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    // MHD_USE_AUTO: epoll where there is one, so that the connection count is not bound
    // by select's descriptor limit.
    MHD_Daemon *daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG, 0, nullptr, nullptr, &answer,
        const_cast<Source *>(&source), MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&sa),
        MHD_OPTION_CONNECTION_LIMIT, kConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, client_timeout, MHD_OPTION_END);
    if (daemon == nullptr) {
        throw std::runtime_error("cannot serve on " + listen + " (address in use or not this host's?)");
    }
    std::printf("namespace \"%s\": metrics at http://%s:%u/metrics\n", source.ns.c_str(),
                inet_ntoa(sa.sin_addr), static_cast<unsigned>(ntohs(sa.sin_port)));
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    MHD_stop_daemon(daemon);
}

tavikctl::CommandRegistrar metrics_command([](CLI::App &app) {
    static MetricsOptions opts;
    auto *cmd =
        app.add_subcommand("metrics", "print the namespace as Prometheus metrics, or serve them over HTTP");
    cmd->add_option("--listen", opts.listen,
                    "serve over HTTP at [ADDR:]PORT until SIGINT or SIGTERM (ADDR "
                    "defaults to 127.0.0.1)");
    cmd->add_option("--config", opts.config,
                    "cluster configuration for the detection windows and the cycles (default: $TAVIK_CONFIG, "
                    "else /etc/tavik/cluster.xml)");
    cmd->add_option("--client-timeout", opts.client_timeout,
                    "seconds a client's connection may stay idle or unfinished before it is closed "
                    "(default: 5)")
        ->check(CLI::Range(1u, 600u));
    tavikctl::add_namespace_option(cmd, opts.name);
    cmd->callback([] {
        Source source;
        source.ns = tavikctl::chosen_namespace(opts.name);
        try {
            tavikctl::ConfigSession session(tavikctl::configuration_path(opts.config));
            source.settings = tavikctl::read_timing_settings();
        } catch (const std::exception &e) {
            std::fprintf(stderr, "tavikctl metrics: no detection windows, the daemon's default cycles: %s\n",
                         e.what());
        }
        if (!opts.listen.empty()) {
            serve(source, opts.listen, opts.client_timeout);
            return;
        }
        bool readable = true;
        (void)std::fputs(scrape(source, &readable).c_str(), stdout);
        if (!readable) {
            tavikctl::exit_code() = tavikctl::kHealthUnknown;
        }
    });
});

}  // namespace
