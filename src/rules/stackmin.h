// SPDX-License-Identifier: GPL-3.0-or-later
// The smallest stack the daemon gives a worker thread: a configured size from 1 up to
// this is raised to it ("under minimum STACKSIZE"). Constants only: safe from any thread.
//
// The check thread talks to the BMC through FreeIPMI, whose RMCP+ packet assembly alone
// takes about 136 KiB of stack (libfreeipmi 1.6.10); on less than about 150 KiB the
// thread's first BMC call overruns its stack. 256 KiB leaves room for the AddressSanitizer
// build and for the library's other paths (a session opened anew).
//
// A ThreadSanitizer build keeps about 770 KiB of static TLS per thread, which glibc takes
// out of the thread's stack: any size below about 900 KiB then leaves the thread 128 KiB
// to run on, and 1 MiB leaves it 250 KiB. So that build's minimum is 1 MiB; it says so in
// the same correction message.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define TAVIK_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVIK_TSAN_BUILD 1
#endif
#endif

#ifdef TAVIK_TSAN_BUILD
inline constexpr int kMinStackSize = 1048576;
#else
inline constexpr int kMinStackSize = 262144;
#endif
