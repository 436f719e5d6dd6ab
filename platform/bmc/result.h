// SPDX-License-Identifier: GPL-3.0-or-later
// Result codes of the BMC library's C entry points (0 is success). docs/bmc-protocol.md
// lists them for tools; libzvrbmc_last_error() gives the text of the last failure.
// Constants only: safe from any thread.
#pragma once

namespace tavik::bmc {

enum Result : int {
    kOk = 0,
    kNotInitialised = 1,       // libzvrbmc_init or bmc_init has not succeeded
    kConfigMissing = 2,        // access file missing or unreadable
    kConfigInvalid = 3,        // access file malformed
    kPasswordRefused = 4,      // password file missing, unreadable, too open or malformed
    kOpenFailed = 5,           // no session could be opened (no BMC, refused login, no in-band device)
    kDeviceIdFailed = 6,       // the BMC did not answer Get Device ID properly
    kExchangeFailed = 7,       // a request got no answer (time-out, broken session)
    kBadResponse = 8,          // the answer does not have the protocol's shape
    kBadArgument = 9,          // null pointer, block 0, unit out of range
    kAlreadyInitialised = 10,  // libzvrbmc_init called twice
    kInternal = 11,            // out of memory or another unexpected failure
};

}  // namespace tavik::bmc
