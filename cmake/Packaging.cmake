# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package "tavik", built by CPack from the install rules: `cpack` in a build
# tree (scripts/package.sh configures one for /usr). The package installs under
# CMAKE_INSTALL_PREFIX, the prefix the compiled-in default paths were made for, so the
# installed programs find their policies, module and daemon without any variable.
# Run-time dependencies: the shared libraries the binaries link (dpkg-shlibdeps), plus
# what the programs start: ipmi_sim for the simulated BMCs and the demo, unshare for the
# demo's per-node host names.

set(TAVIK_PACKAGE_CONTACT "tavik developers <tavik-devel@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavik)
set(CPACK_PACKAGE_VENDOR "tavik")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TAVIK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "BMC heartbeat daemon of a Linux failover cluster")
set(CPACK_PACKAGE_DESCRIPTION
"tavik runs on every node of a failover cluster. It tells the node's baseboard
management controller (BMC) which peer BMCs to watch, polls it for what it heard
from them, and publishes a heartbeat state per resource and node in POSIX shared
memory, so that a failed host, BMC or link is seen through a path of its own.
.
The package holds the daemon, the operator's tool tavikctl, the cluster's
configuration, log, IPC and BMC libraries, and a simulated BMC for OpenIPMI's
ipmi_sim that runs a whole cluster on one machine (tavikctl demo).")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "openipmi, util-linux")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "freeipmi-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TAVIK_DEB_CONTROL_EXTRA})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

find_program(TAVIK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TAVIK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Our own libraries are in the package itself; dpkg-shlibdeps finds them there
  # (the path is relative to the package's staging root) and skips them.
  string(REGEX REPLACE "^/" "" tavik_staged_libdir "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${tavik_staged_libdir})
else()
  message(STATUS "dpkg-shlibdeps not found: the Debian package declares only openipmi and util-linux "
                 "(install dpkg-dev for the library dependencies)")
endif()

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "The Debian package would install under ${CMAKE_INSTALL_PREFIX}; "
                 "scripts/package.sh builds it for /usr")
endif()

# `package_source`: the tree as it is in git, without build trees.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/\\.git$" "/build/" "/\\.cache/" "/compile_commands\\.json$")

include(CPack)
