// SPDX-License-Identifier: GPL-3.0-or-later
// What a zvripc_handle of zvripc_admin.h holds, shared by the files that implement
// operations on handles.
#pragma once

#include <string>

#include "namespace.h"
#include "zvripc_admin.h"

struct zvripc_handle {
    std::string name;
    zvripc::SemPair sems;
    zvripc::CmView cm;
    zvripc::NmView nm;
};
