// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl demo`: a three-node cluster on loopback that detects a failure while you
// watch. Three simulated BMCs (127.0.1.1 to 127.0.1.3), three IPC namespaces and, as
// root, three daemons each under `tavikctl run` in its own UTS namespace, so that each
// has its node's host name (without root: one daemon, named after this host, and two
// peer BMCs). It kills one BMC, shows the others taking that node offline with the
// measured detection time, brings the BMC back, and stops and removes everything. With
// --driver standard the BMCs are stock ipmi_sim with only the IPMI 2.0 watchdog module,
// and every library runs driver = standard.
// Single-threaded; SIGINT and SIGTERM end it early, cleanly. Kept whole (about 500 lines):
// one class owns every process, folder and namespace of the demo, so that cleanup() can
// remove all of them however the demo ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "daemon_path.h"
#include "ipc_cli.h"

namespace tavikctl {
namespace {

constexpr int kNodes = 3;
constexpr int kHbto = 4000;  // ms: per-target time-out 1 s, access and effective time-out 4 s
constexpr int kHbint = 1000;
constexpr int kLanPort = 9001;
constexpr int kHbPort = 6230;
const char *const kResources[] = {"hb1", "hb2"};

volatile sig_atomic_t interrupted = 0;
void on_interrupt(int) {
    interrupted = 1;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct DemoNode {
    int index = 0;
    std::string name;
    std::string addr;
    std::string dir;
    std::string ns;
    pid_t bmc = -1;
    pid_t run = -1;
};

// One node's view: the state of every pair and the status of every resource, by name.
struct View {
    std::map<std::string, std::map<std::string, std::string>> states;  // rsc -> node -> state
    std::map<std::string, std::string> statuses;
    bool operator==(const View &) const = default;
};

class Demo {
  public:
    explicit Demo(bool standard);
    ~Demo() { cleanup(); }
    int run();

  private:
    void write_config();
    void start_bmc(DemoNode &n);
    void stop_bmc(DemoNode &n, int signo);
    void init_namespace(const DemoNode &n);
    void start_daemon(DemoNode &n);
    int stop_daemon(DemoNode &n);
    std::vector<DemoNode *> viewers();
    View view(const DemoNode &n);
    void show(double at);
    bool wait_for(const char *what, double timeout, const std::function<bool()> &done);
    bool pair_is(const DemoNode &viewer, const DemoNode &node, const char *state);
    bool all_online();
    void cleanup();
    int run_self(const std::vector<std::string> &args);

    bool root_ = geteuid() == 0;
    bool standard_ = false;
    std::string dir_;
    std::string config_;
    std::vector<DemoNode> nodes_;
    std::map<std::string, View> last_views_;
    Clock::time_point t0_ = Clock::now();
    bool cleaned_ = false;
};

Demo::Demo(bool standard) : standard_(standard) {
    char tmpl[] = "/tmp/tavik-demo-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error(std::string("cannot make a folder in /tmp: ") + std::strerror(errno));
    }
    dir_ = tmpl;
    config_ = dir_ + "/cluster.xml";
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    if (char *dot = std::strchr(host, '.')) {
        *dot = '\0';
    }
    for (int i = 1; i <= kNodes; ++i) {
        DemoNode n;
        n.index = i;
        // Without root the one daemon keeps this host's name, so node 1 is called that.
        n.name = (!root_ && i == 1) ? host : "node" + std::to_string(i);
        n.addr = "127.0.1." + std::to_string(i);
        n.dir = dir_ + "/node" + std::to_string(i);
        n.ns = "tavik-demo-" + std::to_string(getpid()) + "-node" + std::to_string(i);
        std::filesystem::create_directories(n.dir + "/bmc");
        nodes_.push_back(n);
    }
}

// The sample cluster of examples/cluster.xml (three nodes, two heartbeat resources on
// BMC device 0), with time-outs short enough to watch.
void Demo::write_config() {
    std::ofstream out(config_);
    out << "<?xml version=\"1.0\"?>\n<root>\n"
        << "  <tavik><watchth>1</watchth><log><level>15</level></log></tavik>\n"
        << "  <all><num><server>" << kNodes << "</server><hbr>2</hbr></num></all>\n"
        << "  <cluster><heartbeat><timeout>" << kHbto << "</timeout><interval>" << kHbint
        << "</interval></heartbeat><delaywarn><heartbeat>80</heartbeat></delaywarn></cluster>\n";
    for (const auto &n : nodes_) {
        out << "  <server name=\"" << n.name << "\"><priority>" << n.index
            << "</priority><device name=\"0\"><info>" << n.addr << "</info></device></server>\n";
    }
    out << "  <heartbeat>\n";
    int pri = 1;
    for (const char *r : kResources) {
        out << "    <tavik name=\"" << r << "\"><priority>" << pri++
            << "</priority><device>0</device></tavik>\n";
    }
    out << "  </heartbeat>\n</root>\n";
    if (!out) {
        throw std::runtime_error("cannot write " + config_);
    }
}

void Demo::start_bmc(DemoNode &n) {
    int pipefd[2];
    if (pipe(pipefd) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string launcher = default_bmcsim_path();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], STDOUT_FILENO);
        int err = open((n.dir + "/bmcsim.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0) {
            dup2(err, STDERR_FILENO);
        }
        close(pipefd[0]);
        setpgid(0, 0);  // the terminal's Ctrl-C is ours to handle, not the simulator's
        std::vector<std::string> args = {"tavik-bmcsim",
                                         "--addr",
                                         n.addr,
                                         "--port",
                                         std::to_string(kLanPort),
                                         "--dir",
                                         n.dir + "/bmc",
                                         "--hb-port",
                                         std::to_string(kHbPort),
                                         "--period-ms",
                                         "200",
                                         "--timeout-ms",
                                         "1000"};
        if (standard_) {
            // One peer password for the whole cluster: every host logs in to every BMC.
            args.insert(args.end(), {"--standard", "--peer-password-file", dir_ + "/peer-password"});
        }
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(launcher.c_str(), argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", launcher.c_str(), std::strerror(errno));
        _exit(127);
    }
    close(pipefd[1]);
    n.bmc = pid;
    pollfd pfd{pipefd[0], POLLIN, 0};
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0 && read(pipefd[0], &c, 1) == 1) {
        line += c;
    }
    close(pipefd[0]);
    if (line.find("ready") == std::string::npos) {
        throw std::runtime_error("the simulated BMC of " + n.name + " on " + n.addr + " did not start (see " +
                                 n.dir + "/bmcsim.out" + (line.empty() ? "" : ": " + line) + ")");
    }
}

void Demo::stop_bmc(DemoNode &n, int signo) {
    if (n.bmc <= 0) {
        return;
    }
    if (signo == SIGKILL) {
        // A dead BMC: the simulator itself is killed, its launcher then ends.
        std::ifstream pidfile(n.dir + "/bmc/ipmi_sim.pid");
        pid_t sim = 0;
        if (pidfile >> sim && sim > 0) {
            kill(sim, SIGKILL);
        }
    }
    kill(n.bmc, SIGTERM);
    waitpid(n.bmc, nullptr, 0);
    n.bmc = -1;
}

int Demo::run_self(const std::vector<std::string> &args) {
    pid_t pid = fork();
    if (pid == 0) {
        int out = open((dir_ + "/tavikctl.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        std::vector<char *> argv;
        std::string self = self_path();
        argv.push_back(self.data());
        for (const auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(self.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

void Demo::init_namespace(const DemoNode &n) {
    if (run_self({"init", "--config", config_, "--name", n.ns, "--force"}) != 0) {
        throw std::runtime_error("tavikctl init failed for " + n.ns + " (see " + dir_ + "/tavikctl.out)");
    }
}

void Demo::start_daemon(DemoNode &n) {
    const std::string self = self_path();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("TAVIK_CONFIG", config_.c_str(), 1);
        setenv("TAVIK_POLICY_DIR", default_policy_dir().c_str(), 1);
        setenv("TAVIK_LOG_DIR", (n.dir + "/log").c_str(), 1);
        setenv("TAVIK_BMC_CONF", (n.dir + "/bmc/bmc.conf").c_str(), 1);
        setenv("TAVIK_DAEMON", default_daemon_path().c_str(), 1);
        int out = open((n.dir + "/run.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        setpgid(0, 0);
        if (root_) {
            execlp("unshare", "unshare", "--uts", "sh", "-c", "hostname \"$1\" && shift && exec \"$@\"", "sh",
                   n.name.c_str(), self.c_str(), "run", "--name", n.ns.c_str(), static_cast<char *>(nullptr));
        } else {
            execl(self.c_str(), self.c_str(), "run", "--name", n.ns.c_str(), static_cast<char *>(nullptr));
        }
        _exit(127);
    }
    n.run = pid;
}

int Demo::stop_daemon(DemoNode &n) {
    if (n.run <= 0) {
        return 0;
    }
    kill(n.run, SIGTERM);
    int status = 0;
    waitpid(n.run, &status, 0);
    n.run = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<DemoNode *> Demo::viewers() {
    std::vector<DemoNode *> v;
    for (auto &n : nodes_) {
        if (root_ || n.index == 1) {
            v.push_back(&n);
        }
    }
    return v;
}

View Demo::view(const DemoNode &n) {
    View v;
    IpcHandle handle(n.ns);
    Snapshot snap = take_snapshot(handle);
    for (int r = 0; r < snap->rsc_count; ++r) {
        const std::string rsc = snap->resources[r].name;
        v.statuses[rsc] = status_name(snap->resources[r].status);
        for (int j = 0; j < snap->node_count; ++j) {
            v.states[rsc][snap->nodes[j].name] = state_name(snap->states[r * snap->node_count + j]);
        }
    }
    return v;
}

// Prints every view that changed since it was last shown.
void Demo::show(double at) {
    for (DemoNode *viewer : viewers()) {
        View v = view(*viewer);
        if (last_views_.count(viewer->name) != 0 && last_views_[viewer->name] == v) {
            continue;
        }
        last_views_[viewer->name] = v;
        for (const auto &[rsc, states] : v.states) {
            std::printf("  %6.2f s  %-7s sees %s %-10s", at, viewer->name.c_str(), rsc.c_str(),
                        ("[" + v.statuses[rsc] + "]").c_str());
            for (const auto &[node, state] : states) {
                std::printf("  %s %-8s", node.c_str(), state.c_str());
            }
            std::printf("\n");
        }
    }
    std::fflush(stdout);
}

bool Demo::wait_for(const char *what, double timeout, const std::function<bool()> &done) {
    const auto start = Clock::now();
    while (!interrupted) {
        show(seconds_since(t0_));
        if (done()) {
            return true;
        }
        if (seconds_since(start) > timeout) {
            std::printf("  !! %s did not happen within %.0f s\n", what, timeout);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool Demo::pair_is(const DemoNode &viewer, const DemoNode &node, const char *state) {
    View v = view(viewer);
    for (const auto &[rsc, states] : v.states) {
        if (states.at(node.name) != state) {
            return false;
        }
    }
    return true;
}

bool Demo::all_online() {
    for (DemoNode *viewer : viewers()) {
        for (const auto &n : nodes_) {
            if (!pair_is(*viewer, n, "online")) {
                return false;
            }
        }
    }
    return true;
}

int Demo::run() {
    std::printf("tavik demo: a three-node cluster on loopback, in %s\n", dir_.c_str());
    if (standard_) {
        std::printf(
            "  driver standard: stock IPMI 2.0 BMCs (no heartbeat firmware), watchdog leases, peers "
            "watched from each host\n");
    }
    std::printf("  heartbeat time-out %d ms, interval %d ms: per-target time-out 1 s, access time-out 4 s\n",
                kHbto, kHbint);
    if (!root_) {
        std::printf("  not root: one daemon (%s, this host's name) and two peer BMCs\n",
                    nodes_[0].name.c_str());
    }
    write_config();
    for (auto &n : nodes_) {
        start_bmc(n);
        std::printf("  simulated BMC of %s on %s:%d\n", n.name.c_str(), n.addr.c_str(), kLanPort);
    }
    for (DemoNode *n : viewers()) {
        init_namespace(*n);
        start_daemon(*n);
        std::printf("  daemon of %s started under tavikctl run (namespace %s)\n", n->name.c_str(),
                    n->ns.c_str());
    }

    std::printf("\n== waiting for every node to see every node online\n");
    t0_ = Clock::now();
    if (!wait_for("all pairs online", 30, [this] { return all_online(); })) {
        return 1;
    }
    std::printf("  all pairs online after %.2f s\n", seconds_since(t0_));

    DemoNode &victim = nodes_[kNodes - 1];
    std::printf("\n== killing the BMC of %s (SIGKILL to its simulator)\n", victim.name.c_str());
    const auto killed = Clock::now();
    stop_bmc(victim, SIGKILL);
    std::map<std::string, double> detected;
    bool ok = wait_for("detection", 20, [&] {
        for (DemoNode *viewer : viewers()) {
            if (viewer != &victim && detected.count(viewer->name) == 0 &&
                pair_is(*viewer, victim, "offline")) {
                detected[viewer->name] = seconds_since(killed);
            }
        }
        return detected.size() == viewers().size() - (root_ ? 1 : 0);
    });
    // The standard driver's last answer may be one check period (T/3) old when the BMC dies.
    const char *bound =
        standard_ ? "1 s + check period 0.33 s + one poll cycle 2 s" : "1 s + one poll cycle 2 s";
    for (const auto &[viewer, took] : detected) {
        std::printf("  %s saw %s offline after %.2f s (bound: per-target time-out %s)\n", viewer.c_str(),
                    victim.name.c_str(), took, bound);
    }
    if (!ok) {
        return 1;
    }

    std::printf("\n== bringing the BMC of %s back\n", victim.name.c_str());
    const auto back = Clock::now();
    start_bmc(victim);
    if (!wait_for("recovery", 30, [this] { return all_online(); })) {
        return 1;
    }
    std::printf("  all pairs online again after %.2f s\n", seconds_since(back));

    std::printf("\n== stopping\n");
    int status = 0;
    for (DemoNode *n : viewers()) {
        int s = stop_daemon(*n);
        std::printf("  daemon of %s stopped with status %d\n", n->name.c_str(), s);
        status |= s;
    }
    cleanup();
    std::printf("  everything stopped and removed\n");
    return interrupted ? 130 : (status == 0 ? 0 : 1);
}

void Demo::cleanup() {
    if (cleaned_) {
        return;
    }
    cleaned_ = true;
    for (auto &n : nodes_) {
        stop_daemon(n);
    }
    for (auto &n : nodes_) {
        stop_bmc(n, SIGTERM);
        if (root_ || n.index == 1) {
            ipc_destroy(n.ns.c_str());
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

int run_demo(bool standard) {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    try {
        Demo demo(standard);
        int status = demo.run();
        if (interrupted) {
            std::printf("\ninterrupted: everything stopped and removed\n");
            return 130;
        }
        return status;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavikctl demo: %s\n", e.what());
        return 1;
    }
}

CommandRegistrar demo_command([](CLI::App &app) {
    auto *cmd =
        app.add_subcommand("demo", "run a three-node cluster on loopback and watch it detect a failure");
    static std::string driver = "oem";
    cmd->add_option("--driver", driver,
                    "oem: BMCs with tavik's heartbeat firmware; standard: stock IPMI 2.0 BMCs and "
                    "driver = standard")
        ->check(CLI::IsMember({"oem", "standard"}))
        ->capture_default_str();
    cmd->callback([] { exit_code() = run_demo(driver == "standard"); });
});

}  // namespace
}  // namespace tavikctl
