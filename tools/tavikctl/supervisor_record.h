// SPDX-License-Identifier: GPL-3.0-or-later
// What `tavikctl run` tells the namespace about its daemon: this supervisor, the child it
// runs, its restarts and how the last one ended, so that `status` can say it. A
// namespace that cannot be opened (not made yet, removed) is skipped without a word:
// supervising never depends on it. Single-threaded, like run.
#pragma once

#include <string>

#include "zvripc_health.h"

namespace tavikctl {

class SupervisorRecord {
  public:
    explicit SupervisorRecord(std::string ns);
    void child_started(int pid);
    void child_ready();
    void child_ended(int status);  // exit status or 128 + signal
    void stopped();

  private:
    void store();

    std::string ns_;
    zvripc_supervisor record_{};
};

// Exit statuses of the daemon that a restart cannot cure: the configuration library (4),
// the configuration (9), the heartbeat table (10).
bool configuration_exit(int status);

}  // namespace tavikctl
