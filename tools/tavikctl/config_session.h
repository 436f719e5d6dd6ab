// SPDX-License-Identifier: GPL-3.0-or-later
// A read of the cluster configuration through libzvrxml for one tavikctl command, the
// way the daemon reads it: the file (--config, else $TAVIK_CONFIG, else
// /etc/tavik/cluster.xml) and the policy directory ($TAVIK_POLICY_DIR, else the source
// tree's or the installed one) go to the library through the environment, as they do
// for the daemon. One session at a time, on tavikctl's single thread.
#pragma once

#include <string>

namespace tavikctl {

// The configuration file a command reads: `option` when given, else $TAVIK_CONFIG, else
// /etc/tavik/cluster.xml.
std::string configuration_path(const std::string &option);

class ConfigSession {
  public:
    // Initialises libzvrxml and loads the file. Throws std::runtime_error naming the
    // file (or the policy directory) and the library's reason when it cannot.
    explicit ConfigSession(const std::string &path);
    ~ConfigSession();
    ConfigSession(const ConfigSession &) = delete;
    ConfigSession &operator=(const ConfigSession &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace tavikctl
