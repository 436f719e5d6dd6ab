// SPDX-License-Identifier: GPL-3.0-or-later
// The programs `tavikctl run` starts as root (the daemon and the change hook) are trusted
// like the configuration: whoever may change one of them, or a folder on the way to it,
// would run what they like as root on every start or change. No shared state.
#pragma once

#include <string>

namespace tavikctl {

// Opens `path` (`what` names it in messages: "hook", "daemon") for running it with
// fexecve. The file must be a regular file owned by root or this process's user that
// neither its group nor others may write, and so must every folder on the way from "/",
// except that a folder others may write counts as safe with its sticky bit (as /tmp).
// Symbolic links on the way are followed, each one held by a folder already found safe.
// Every step is taken on a descriptor, so nothing can be swapped between the check and
// the run. Returns the descriptor (close-on-exec); throws std::runtime_error naming the
// path and the reason.
int open_trusted_program(const std::string &path, const std::string &what);

// Whether the open program is a script ("#!"), which the kernel runs through its
// interpreter by a /dev/fd path: its descriptor must then stay open across the exec.
bool is_script(int fd);

// In a child: runs the program open as `fd` (from open_trusted_program) with argv and
// the environment; returns only when that fails, with errno set.
void exec_program(int fd, char *const argv[]);

}  // namespace tavikctl
