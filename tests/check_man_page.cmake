# SPDX-License-Identifier: MIT
# Formats the manual page with every groff warning enabled and fails on any
# diagnostic; then, where man-db is installed, renders it as `man -l` does and
# checks that every section is there.
#
#   cmake -D MAN_PAGE=... -D GROFF=... [-D MAN=...] -P check_man_page.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT GROFF)
  message("SKIPPED: groff is not installed")
  return()
endif()

execute_process(COMMAND ${GROFF} -ww -z -man ${MAN_PAGE}
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  message(FATAL_ERROR "groff -ww -z -man ${MAN_PAGE} (status ${result}):\n${out}${err}")
endif()

if(MAN)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 MANPAGER=cat PAGER=cat
      ${MAN} --warnings=w -l ${MAN_PAGE}
    RESULT_VARIABLE result OUTPUT_VARIABLE page ERROR_VARIABLE err)
  if(NOT result EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "man -l ${MAN_PAGE} (status ${result}):\n${err}")
  endif()
  foreach(section NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES)
    if(NOT page MATCHES "\n${section}\n")
      message(FATAL_ERROR "The rendered page has no ${section} section:\n${page}")
    endif()
  endforeach()
endif()
