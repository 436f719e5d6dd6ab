// SPDX-License-Identifier: GPL-3.0-or-later
// What the fuzz targets share: a check that survives NDEBUG and stops the run with a
// message (libFuzzer then keeps the input as a crash), and small helpers to cut a fuzz
// input into fields. Each fuzzer runs its inputs one at a time on one thread.
#pragma once

#include <stdlib.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] __attribute__((format(printf, 3, 4))) inline void fail(const char *file, int line,
                                                                    const char *format, ...) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: ", file, line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

// A private directory for the files a target writes, under $TMPDIR (or /tmp), removed
// with its files when the process exits normally. scripts/fuzz.sh points TMPDIR at its
// scratch directory, so that a crashed run leaves nothing behind either.
inline const std::string &scratch_dir() {
    static const std::string dir = [] {
        const char *base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tavik-fuzz.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror(pattern.c_str());
            std::abort();
        }
        return pattern;
    }();
    static const bool cleanup = [] {
        std::atexit([] { std::filesystem::remove_all(scratch_dir()); });
        return true;
    }();
    (void)cleanup;
    return dir;
}

// Replaces the file at path with text; a failure stops the run, since every later
// result would mean nothing.
inline void write_file(const std::string &path, std::string_view text) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

// Splits a fuzz input into fields from its front; past the end every field reads as 0.
class Reader {
  public:
    Reader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::int32_t int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        }
        return static_cast<std::int32_t>(v);
    }
    // Everything not read yet.
    std::string_view rest() {
        std::string_view r(reinterpret_cast<const char *>(data_) + pos_, size_ - pos_);
        pos_ = size_;
        return r;
    }

  private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace fuzz

#define FUZZ_CHECK(cond, ...)                              \
    do {                                                   \
        if (!(cond)) {                                     \
            ::fuzz::fail(__FILE__, __LINE__, __VA_ARGS__); \
        }                                                  \
    } while (0)
