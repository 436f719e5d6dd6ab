// SPDX-License-Identifier: GPL-3.0-or-later
// Test helpers around the simulated BMC: a private temporary folder, running programs
// with their output captured, ports unique to the test process, and SimBmc, one
// tavik-bmcsim launcher with its ipmi_sim. Used from one test thread at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tavik::test {

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_text(const std::string &path, const std::string &text, unsigned mode = 0644);
std::string read_text(const std::string &path);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // stdout and stderr together
};

// Runs a program to its end (killed after `timeout`), in `work` for its output file.
RunResult run_program(const std::vector<std::string> &argv, const std::string &work,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

// `count` consecutive UDP ports, free on 127.0.1.1 to 127.0.1.9 when asked, chosen from
// the process id so that test processes running side by side do not meet.
unsigned free_port_base(unsigned count);

// Polls `done` every `step` until it holds or `limit` passes; returns its last answer.
bool wait_for(const std::function<bool()> &done, std::chrono::milliseconds limit,
              std::chrono::milliseconds step = std::chrono::milliseconds(20));

std::string launcher_path();

class SimBmc {
  public:
    SimBmc(std::string addr, unsigned port, unsigned hb_port, std::string dir,
           std::vector<std::string> extra = {});
    ~SimBmc();
    SimBmc(const SimBmc &) = delete;
    SimBmc &operator=(const SimBmc &) = delete;

    // Starts the launcher and waits until it reports the BMC ready; false with the
    // launcher's output in `why` otherwise.
    bool start(std::string &why);
    // SIGTERM to the launcher; returns its exit status.
    int stop();
    // SIGKILL to the launcher (its ipmi_sim dies with it); waits until both are gone.
    void kill_hard();
    pid_t simulator_pid() const;
    bool running() const { return launcher_ > 0; }

    const std::string &addr() const { return addr_; }
    const std::string &dir() const { return dir_; }
    unsigned port() const { return port_; }
    std::string conf() const { return dir_ + "/bmc.conf"; }
    std::string password() const;
    std::string output() const;

  private:
    std::string addr_;
    unsigned port_, hb_port_;
    std::string dir_;
    std::vector<std::string> extra_;
    pid_t launcher_ = -1;
};

}  // namespace tavik::test
