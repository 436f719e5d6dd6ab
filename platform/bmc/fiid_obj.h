// SPDX-License-Identifier: GPL-3.0-or-later
// FreeIPMI packet objects destroyed with their scope, and the sessionless App requests
// and answers that presence checks and the cipher-suite list are made of (presence.cpp,
// cipher_suites.cpp).
#pragma once

#include <freeipmi/freeipmi.h>

#include <cstdint>

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

// Packs the filled App command `cmd` outside any session, with sequence `seq` (0-63):
// the packet's length, or -1.
int pack_sessionless_request(std::uint8_t seq, const FiidObj &cmd, std::uint8_t *buf, unsigned len);

// Unpacks buf into `cmd` when it is an App answer with sequence `seq` (0-63).
bool unpack_sessionless_answer(const std::uint8_t *buf, unsigned len, std::uint8_t seq, const FiidObj &cmd);

}  // namespace tavik::bmc
