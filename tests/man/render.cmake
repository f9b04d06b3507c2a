# SPDX-License-Identifier: Apache-2.0
# Run by ctest: every manual page renders without a single groff warning, the
# commands' pages (section 1) say where bugs go and under which licence, and
# kstool's carries the command list generated from its command table.
#   cmake "-DPAGES=a.1;b.1" -P render.cmake
foreach(page ${PAGES})
  execute_process(COMMAND groff -ww -z -man -Tutf8 ${page} RESULT_VARIABLE rc ERROR_VARIABLE warnings)
  if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
    message(SEND_ERROR "${page}: groff exited ${rc}:\n${warnings}")
  endif()
  if(page MATCHES "\\.1$")
    file(READ "${page}" text)
    foreach(section "BUGS" "REPORTING BUGS" "COPYRIGHT")
      string(FIND "${text}" "\n.SH ${section}\n" at)
      if(at EQUAL -1)
        message(SEND_ERROR "${page} has no ${section} section")
      endif()
    endforeach()
  endif()
endforeach()
list(FILTER PAGES INCLUDE REGEX "/kstool\\.1$")
file(READ "${PAGES}" kstool_page)
if(NOT kstool_page MATCHES "\n\\.TP\n\\\\fBsecret store\\\\fR \\\\fINAME\\\\fR")
  message(SEND_ERROR "kstool.1 has no generated command list")
endif()
