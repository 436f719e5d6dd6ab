// SPDX-License-Identifier: GPL-3.0-or-later
// The audit trail of manual changes: who (user and process) changed what, from what to
// what, in syslog and in the namespace's own record (shown by `status`), since a change
// made by hand otherwise leaves no trace. A failure to record is said on stderr but
// does not undo the change. Single-threaded, like every tavikctl command.
#pragma once

#include <string>

#include "ipc_cli.h"

namespace tavikctl {

void audit_change(const IpcHandle &handle, const std::string &what, const std::string &from,
                  const std::string &to);
// For a namespace that is gone afterwards: syslog only.
void audit_destroy(const std::string &ns);

}  // namespace tavikctl
