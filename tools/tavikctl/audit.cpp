// SPDX-License-Identifier: GPL-3.0-or-later
#include "audit.h"

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "zvripc_health.h"

namespace tavikctl {

namespace {

std::string who() {
    const uid_t uid = getuid();
    const passwd *pw = getpwuid(uid);
    return (pw != nullptr ? std::string(pw->pw_name) : "?") + " (uid " + std::to_string(uid) + ", pid " +
           std::to_string(getpid()) + ")";
}

void to_syslog(const std::string &text) {
    openlog("tavikctl", LOG_PID, LOG_DAEMON);
    syslog(LOG_NOTICE, "%s", text.c_str());
    closelog();
}

}  // namespace

void audit_change(const IpcHandle &handle, const std::string &what, const std::string &from,
                  const std::string &to) {
    to_syslog("namespace \"" + handle.name() + "\": " + what + " changed from " + from + " to " + to +
              " by " + who());
    if (int rc = ipc_audit(handle.get(), what.c_str(), from.c_str(), to.c_str()); rc != ZVRIPC_OK) {
        std::fprintf(stderr, "tavikctl: namespace \"%s\": the change is not in its audit record: %s\n",
                     handle.name().c_str(), ipc_last_error());
    }
}

void audit_destroy(const std::string &ns) {
    to_syslog("namespace \"" + ns + "\": destroyed by " + who());
}

}  // namespace tavikctl
