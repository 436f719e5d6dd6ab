// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the multi-string list functions on closed lists. The input, with two NUL
// bytes appended, is a buffer that always holds a closing double NUL; the list is its
// part up to and including the first one. The four functions run on an exactly sized
// heap copy of that list, so ASan stops any read past the closing NUL, and again on the
// whole buffer, where the bytes after the list must change nothing. They must agree
// with each other and with a count made here byte by byte. Single-threaded.
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "table/table.h"

namespace {

struct Expected {
    std::size_t size;   // bytes of the list, both closing NULs included
    std::size_t count;  // entries
};

Expected expect(const char *buf) {
    std::size_t close = 0;
    while (buf[close] != '\0' || buf[close + 1] != '\0') {
        ++close;
    }
    // Every NUL up to the closing pair's first one ends an entry, except in the empty list.
    std::size_t nuls = 0;
    for (std::size_t i = 0; i <= close; ++i) {
        nuls += buf[i] == '\0' ? 1 : 0;
    }
    return {close + 2, close == 0 ? 0 : nuls};
}

void check_list(const char *list, const Expected &want, const char *what) {
    std::size_t walked = 0;
    const char *expected_next = list;
    for (const char *p = mszfirst(list); p != nullptr; p = msznext(p)) {
        FUZZ_CHECK(p == expected_next, "%s: entry %zu at offset %td, expected %td", what, walked, p - list,
                   expected_next - list);
        FUZZ_CHECK(static_cast<std::size_t>(p - list) + 2 <= want.size,
                   "%s: entry %zu at offset %td is past the list", what, walked, p - list);
        expected_next = p + std::strlen(p) + 1;
        ++walked;
        FUZZ_CHECK(walked <= want.count, "%s: the walk yields more than %zu entries", what, want.count);
    }
    FUZZ_CHECK(walked == want.count, "%s: the walk yields %zu entries, expected %zu", what, walked,
               want.count);
    int n = mszstrn(list);
    FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) == walked, "%s: mszstrn %d, walk %zu", what, n, walked);
    int size = mszsize(list);
    FUZZ_CHECK(size >= 2 && static_cast<std::size_t>(size) == want.size, "%s: mszsize %d, expected %zu", what,
               size, want.size);
    // msznext of the list's start: the second entry, whatever the first one was.
    const char *second = msznext(list);
    if (want.count < 2) {
        FUZZ_CHECK(second == nullptr, "%s: msznext of a list of %zu entries is not null", what, want.count);
    } else {
        FUZZ_CHECK(second == list + std::strlen(list) + 1, "%s: msznext of the start is at offset %td", what,
                   second - list);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::vector<char> whole(size + 2, '\0');
    if (size > 0) {
        std::memcpy(whole.data(), data, size);
    }
    const Expected want = expect(whole.data());

    // new[] of exactly the list's bytes: one byte more read is a heap overflow.
    std::unique_ptr<char[]> list(new char[want.size]);
    std::memcpy(list.get(), whole.data(), want.size);
    check_list(list.get(), want, "closed list");
    check_list(whole.data(), want, "list with trailing bytes");
    return 0;
}
