// SPDX-License-Identifier: GPL-3.0-or-later
// Walking the multi-string lists the IPC library's enumerations return: NUL-terminated
// entries closed by one more NUL. An empty entry can only stand first, since anywhere
// else it would read as the closing double NUL.
//
// Thread safety: pure functions over the caller's buffer; they only read it.
#include <cstring>

#include "table.h"

namespace {

bool atend(const char *p) {
    return p[0] == '\0' && p[1] == '\0';
}

}  // namespace

char *mszfirst(const char *mszptr) {
    return atend(mszptr) ? nullptr : const_cast<char *>(mszptr);
}

char *msznext(const char *mszptr) {
    if (atend(mszptr)) {
        return nullptr;
    }
    const char *end = mszptr + std::strlen(mszptr);
    return end[1] == '\0' ? nullptr : const_cast<char *>(end + 1);
}

int mszsize(const char *mszptr) {
    unsigned i = 0;
    while (mszptr[i] != '\0' || mszptr[i + 1] != '\0') {
        ++i;
    }
    return static_cast<int>(i + 2);
}

int mszstrn(const char *mszptr) {
    if (atend(mszptr)) {
        return 0;
    }
    unsigned n = 1;
    for (const char *p = mszptr;; ++n) {
        const char *end = p + std::strlen(p);
        if (end[1] == '\0') {
            return static_cast<int>(n);
        }
        p = end + 1;
    }
}
