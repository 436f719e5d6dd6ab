// SPDX-License-Identifier: GPL-3.0-or-later
// What a zvripc_handle of zvripc_admin.h holds, shared by the files that implement
// operations on handles.
#pragma once

#include <string>

#include "namespace.h"
#include "zvripc_admin.h"

struct zvripc_handle {
    std::string name;
    zvripc::SemPair sems;  // not opened for a read-only handle
    zvripc::CmView cm;
    zvripc::NmView nm;
};

namespace zvripc {

inline int handle_intact(const zvripc_handle &h) {
    if (int rc = h.nm.intact()) {
        return rc;
    }
    if (int rc = h.cm.intact()) {
        return rc;
    }
    return h.sems.attached() ? h.sems.intact() : ZVRIPC_OK;
}

// Runs body(handle) when every part the handle maps is still the one opened, and looks
// again after it: an access that met a part changed under it fails as well. A body that
// `writes` is refused on a read-only handle.
template <class Body>
int on_handle(zvripc_handle *handle, bool writes, Body &&body) {
    if (handle == nullptr) {
        return fail(ZVRIPC_EARG, "null handle");
    }
    if (writes && !handle->nm.writable()) {
        return fail(ZVRIPC_EPERM, "namespace \"%s\" is open read-only", handle->name.c_str());
    }
    if (int rc = handle_intact(*handle)) {
        return rc;
    }
    int rc = body(*handle);
    if (int lost = handle_intact(*handle)) {
        return lost;
    }
    return rc;
}

}  // namespace zvripc
