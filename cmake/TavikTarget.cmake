# SPDX-License-Identifier: GPL-3.0-or-later
# Per-target build settings: warnings as errors everywhere, and the sanitizer chosen by
# the preset (TAVIK_SANITIZE = address | thread). Sanitizers go through target
# properties, not global flags, so that a target loaded into an uninstrumented host
# process (the simulated BMC module inside ipmi_sim) can opt out.
set(TAVIK_SANITIZE "" CACHE STRING "Sanitizer for all targets: '', address or thread")

function(tavik_target_defaults target)
  cmake_parse_arguments(ARG "NO_SANITIZE" "" "" ${ARGN})
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
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
