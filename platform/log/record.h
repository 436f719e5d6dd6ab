// SPDX-License-Identifier: GPL-3.0-or-later
// Builds the text of one log record: a single line
//   TIME LEVEL NAME[PID/TID] FILE:LINE FUNC: TEXT
// with every control byte of every caller-supplied field escaped, so that no field can
// end a line early or pass itself off as another record. The functions only append to
// the caller's buffer and keep per-thread caches, so they are safe to call from any
// number of threads at once.
#ifndef TAVIK_PLATFORM_LOG_RECORD_H
#define TAVIK_PLATFORM_LOG_RECORD_H

#include <cstddef>
#include <string>
#include <string_view>

namespace zvrlog {

// Longest caller text written, in bytes before escaping; anything after it is replaced by
// a marker that gives the number of bytes cut. It keeps one record one bounded write.
inline constexpr std::size_t kMaxText = 65536;

// Appends `s` with "\\", "\n", "\r", "\t" and "\xNN" for backslash and every other byte
// below 0x20 or equal to 0x7f. With `blank_too` a blank becomes "\x20" as well, which
// keeps the space-separated fields of the prefix one token each. Bytes from 0x80 up
// (UTF-8) pass unchanged.
void append_escaped(std::string &out, std::string_view s, bool blank_too);

// Appends "TIME LEVEL NAME[PID/TID] FILE:LINE FUNC: ". `file` is reduced to its base
// name; a null `file` or `func` is written as "-".
void append_prefix(std::string &out, int level, std::string_view channel, const char *file, int line,
                   const char *func);

// Appends a caller's text, escaped and cut at kMaxText; a null text adds nothing.
void append_text(std::string &out, const char *text);

// A complete line (with its newline) for a notice the library writes about itself.
std::string notice_line(int level, std::string_view channel, const char *file, int line, const char *func,
                        std::string_view text);

// "path: what: reason" for the errno `err`, for notices.
std::string describe_failure(std::string_view path, std::string_view what, int err);

}  // namespace zvrlog

#endif
