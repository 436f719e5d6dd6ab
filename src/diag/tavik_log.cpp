// SPDX-License-Identifier: GPL-3.0-or-later
// The log channel: set-up from configuration, trace records, tear-down.
#include "tavik_log.h"

#include <zvrlog.h>
#include <zvrxml.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "rules/params.h"

std::atomic<void *> phtaviklog{nullptr};

namespace {

int read_int(rules::Key key) {
    const rules::Param &p = rules::param(key);
    int value = 0;
    int size = sizeof value;
    return xmllib_get_value(p.path, XMLLIB_TYPE_INT, &value, &size) == 0 ? value : p.defval;
}

}  // namespace

void tavik_loginit() {
    if (phtaviklog != nullptr) {
        return;
    }
    int level = rules::param(rules::Key::loglevel).defval;
    int size = rules::param(rules::Key::logsize).defval;
    if (xmllib_load_policy("tavik") == 0) {
        level = read_int(rules::Key::loglevel);
        size = read_int(rules::Key::logsize);
        (void)xmllib_unload_policy("tavik");
    }
    char name[32];
    (void)std::snprintf(name, sizeof name, "%s", "tavik");
    void *handle = nullptr;
    log_init(name, &handle, level, size, 0);
    phtaviklog = handle;
}

void taviklog(int level, const char *pname, int line, const char *pfunc, const char *fmt, ...) {
    void *handle = phtaviklog.load();
    // A record the channel's level filters out is not even formatted.
    if (handle == nullptr || fmt == nullptr || log_enabled(handle, level) == 0) {
        return;
    }
    char buffer[4096];
    va_list args;
    va_start(args, fmt);
    // vsnprintf cuts the text to fit and always terminates it.
    (void)std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    log_write(handle, level, 0, pname, line, pfunc, buffer);
}

void tavik_logterm() {
    if (void *handle = phtaviklog.load(); handle != nullptr) {
        log_term(handle);
    }
    phtaviklog = nullptr;
}
