// SPDX-License-Identifier: GPL-3.0-or-later
// A FreeIPMI packet object that is destroyed with its scope (presence.cpp, cipher_suites.cpp).
#pragma once

#include <freeipmi/freeipmi.h>

namespace tavik::bmc {

struct FiidObj {
    fiid_obj_t obj;
    explicit FiidObj(fiid_template_t t) : obj(fiid_obj_create(t)) {}
    ~FiidObj() {
        if (obj != nullptr) {
            fiid_obj_destroy(obj);
        }
    }
    FiidObj(const FiidObj &) = delete;
    FiidObj &operator=(const FiidObj &) = delete;
};

}  // namespace tavik::bmc
