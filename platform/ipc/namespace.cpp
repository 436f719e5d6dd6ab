// SPDX-License-Identifier: GPL-3.0-or-later
// What every part of a namespace shares: the per-thread error text, the clocks a change
// is stamped with, the valid values, and the names of a namespace and its objects. The
// parts themselves are one file each: mapping.cpp, segment_lock.cpp, semaphores.cpp,
// cm_view.cpp, nm_view.cpp and create_destroy.cpp. Attaching trusts nothing in a
// segment it has not checked: sizes against the object's real size, counts against the
// limits and the size, names for their terminating NUL, the lock for being one that can
// be taken; and it keeps its own copy of the counts.
#include "namespace.h"

#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zvripc.h"

namespace zvripc {

namespace {

thread_local char error_text[512];

bool name_char_ok(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

}  // namespace

int fail(int code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(error_text, sizeof error_text, format, args);
    va_end(args);
    return code;
}

std::string errno_text(int err) {
    char buf[128];
    return strerror_r(err, buf, sizeof buf);  // GNU form: returns the text
}

void clear_error() {
    error_text[0] = '\0';
}

Stamp stamp_now() {
    timespec wall{};
    timespec mono{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    return {wall.tv_sec * std::int64_t{1000000000} + wall.tv_nsec,
            mono.tv_sec * std::int64_t{1000000000} + mono.tv_nsec};
}

const char *last_error() {
    return error_text;
}

bool valid_state(int state) {
    return state == RSCSV_ONLINE || state == RSCSV_OFFLINE || state == RSCSV_UNKNOWN || state == RSCSV_UNUSED;
}

bool valid_status(int status) {
    return status == RSC_NORMAL || status == RSC_CAUTION || status == RSC_ERROR || status == RSC_UNKNOWN ||
           status == RSC_UNUSED;
}

int resolve_name(const char *name, std::string &out) {
    const char *source = "namespace name";
    if (name == nullptr) {
        name = std::getenv("TAVIK_IPC_NAME");
        source = "TAVIK_IPC_NAME";
        if (name == nullptr || *name == '\0') {
            name = ZVRIPC_DEFAULT_NAME;
        }
    }
    std::size_t len = std::strlen(name);
    if (len == 0 || len > ZVRIPC_NAME_MAX || name[0] == '.') {
        return fail(ZVRIPC_EARG, "%s \"%.*s\" must be 1 to %d characters and not begin with '.'", source, 64,
                    name, ZVRIPC_NAME_MAX);
    }
    for (std::size_t i = 0; i < len; ++i) {
        if (!name_char_ok(name[i])) {
            return fail(ZVRIPC_EARG, "%s \"%.*s\" may hold only letters, digits, '_', '-' and '.'", source,
                        64, name);
        }
    }
    out.assign(name, len);
    return ZVRIPC_OK;
}

ObjectNames object_names(const std::string &ns) {
    std::string base = "/" + ns;
    return {base + ".nm", base + ".cm", base + ".statchange", base + ".downnotify"};
}

}  // namespace zvripc
