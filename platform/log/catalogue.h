// SPDX-License-Identifier: GPL-3.0-or-later
// The event catalogue: for each known message number, the types of the parameters that
// follow the null text in log_write, in order, the syslog priority and the text. The
// catalogue is constant data; rendering only appends to the caller's buffer, so it is
// safe from any thread.
#ifndef TAVIK_PLATFORM_LOG_CATALOGUE_H
#define TAVIK_PLATFORM_LOG_CATALOGUE_H

#include <cstdarg>
#include <string>

namespace zvrlog {

// Reads the parameters of event `msgid` from `ap`, exactly as many and of exactly the
// types the catalogue lists (none for a number it does not know), and appends
// "[MSGID] text" with every string parameter escaped. Returns the syslog priority.
int append_event(std::string &out, int msgid, va_list ap);

}  // namespace zvrlog

#endif
