# SPDX-License-Identifier: GPL-3.0-or-later
# Per-target build settings: the project's warnings (errors only where its own
# developers and CI build, TAVIK_WERROR, which the presets turn on), and the sanitizer
# chosen by the preset (TAVIK_SANITIZE = address | thread). Sanitizers go through
# target properties, not global flags, so that a target loaded into an uninstrumented
# host process (the simulated BMC module inside ipmi_sim) can opt out.
set(TAVIK_SANITIZE "" CACHE STRING "Sanitizer for all targets: '', address or thread")
# Off by default: a distribution's or a user's compiler may warn where ours does not,
# and that must not break their build.
option(TAVIK_WERROR "Treat compiler warnings as errors" OFF)

# The shared libraries are private to the programs: they go into a folder of their own
# that the dynamic linker does not search, and the programs (in bin and sbin) find them
# through a run path relative to themselves, so an installation also works where it is
# unpacked. No development link (libX.so) is installed.
set(TAVIK_INSTALL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/tavik)
set(CMAKE_INSTALL_RPATH "$ORIGIN/../${TAVIK_INSTALL_PRIVATE_LIBDIR}")

# The build date the daemon reports: from SOURCE_DATE_EPOCH when it is set, so that the
# same source always gives the same binary; otherwise the compiler's own date.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP TAVIK_BUILD_DATE "%b %d %Y" UTC)
  string(TIMESTAMP TAVIK_BUILD_TIME "%H:%M:%S" UTC)
endif()

function(tavik_target_defaults target)
  cmake_parse_arguments(ARG "NO_SANITIZE" "" "" ${ARGN})
  # Not -Wnull-dereference: GCC 12 raises it inside libstdc++ and CLI11 code inlined at
  # -O2, where no change of ours can answer it.
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Wformat=2
                                           $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
  # clang's -Wconversion also takes in sign conversions, which GCC's leaves out; the
  # tree holds to GCC's set with either compiler.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -Wno-sign-conversion)
  endif()
  if(TAVIK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(TAVIK_BUILD_DATE)
    target_compile_definitions(${target} PRIVATE TAVIK_BUILD_DATE="${TAVIK_BUILD_DATE}"
                                                 TAVIK_BUILD_TIME="${TAVIK_BUILD_TIME}")
  endif()
  if(ARG_NO_SANITIZE OR TAVIK_SANITIZE STREQUAL "")
    return()
  endif()
  if(TAVIK_SANITIZE STREQUAL "address")
    set(flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  elseif(TAVIK_SANITIZE STREQUAL "thread")
    set(flags -fsanitize=thread -fno-omit-frame-pointer)
  else()
    message(FATAL_ERROR "TAVIK_SANITIZE must be empty, address or thread, not '${TAVIK_SANITIZE}'")
  endif()
  target_compile_options(${target} PRIVATE ${flags})
  target_link_options(${target} PRIVATE ${flags})
endfunction()

# A platform library: installed into the private folder, without a development link.
function(tavik_install_library target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${target} LIBRARY DESTINATION ${TAVIK_INSTALL_PRIVATE_LIBDIR} NAMELINK_SKIP)
endfunction()
