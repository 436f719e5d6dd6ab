// SPDX-License-Identifier: GPL-3.0-or-later
// ConfigSession: libzvrxml initialised and the configuration loaded for one command.
#include "config_session.h"

#include <cstdlib>
#include <stdexcept>

#include "daemon_path.h"
#include "zvrxml.h"

namespace tavikctl {

std::string configuration_path(const std::string &option) {
    if (!option.empty()) {
        return option;
    }
    const char *env = std::getenv("TAVIK_CONFIG");
    return env != nullptr && *env != '\0' ? env : "/etc/tavik/cluster.xml";
}

ConfigSession::ConfigSession(const std::string &path) : path_(path) {
    ::setenv("TAVIK_CONFIG", path.c_str(), 1);
    const char *dir = std::getenv("TAVIK_POLICY_DIR");
    if (dir == nullptr || *dir == '\0') {
        ::setenv("TAVIK_POLICY_DIR", default_policy_dir().c_str(), 1);
    }
    if (xmllib_init("tavikctl") != XMLLIB_OK) {
        throw std::runtime_error(std::string("configuration library: ") + xmllib_last_error());
    }
    if (xmllib_load_config() != XMLLIB_OK) {
        std::string why = xmllib_last_error();
        xmllib_term();
        throw std::runtime_error(why.find(path) == std::string::npos ? path + ": " + why : why);
    }
}

ConfigSession::~ConfigSession() {
    xmllib_term();
}

}  // namespace tavikctl
