// SPDX-License-Identifier: GPL-3.0-or-later
// The checks of a segment's lock that read the mutex's own words rather than call the
// POSIX functions (lock_word_glibc.cpp). Each returns ZVRIPC_OK or ZVRIPC_EBADSEG with
// the error text set; where the C library is not glibc they accept every lock.
#pragma once

#include <pthread.h>

#include <string>

namespace zvripc {

// Refuses a mutex of another kind than init_robust_mutex makes, before a lock call reads it.
int check_lock_kind(const std::string &object, pthread_mutex_t *mutex);

// For a lock that trylock found busy: refuses a lock word that names no live holder (a
// word given back since, all zero, is accepted).
int check_lock_holder(const std::string &object, pthread_mutex_t *mutex);

}  // namespace zvripc
