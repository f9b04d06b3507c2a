# SPDX-License-Identifier: Apache-2.0
# Picks the section-3 pages to install out of Doxygen's man3 output, compressed
# the way manual pages are installed:
# - each header family's page (the names of the headers' @defgroup lines),
#   and each record's page (its fields);
# - each function, variable, type and macro of a family as a link to the
#   family's page, so that `man ks_hmac_sha1` shows the keyed digests. Links
#   to a record's fields (`count`, `next`, ...) are left out: such names say
#   nothing alone and would clash with other packages' pages.
# Doxygen's pages of files, directories and the main page are left out too.
# Every page kept must render without a groff warning and say what it is
# about in its NAME line (the line whatis and apropos show).
#   cmake -DDOXYGEN_MAN=api/man/man3 -DOUTPUT=man3 "-DHEADERS=a.h;b.h" -P api_man_pages.cmake
cmake_minimum_required(VERSION 3.25)
set(groups "")
foreach(header ${HEADERS})
  file(STRINGS ${header} lines REGEX "@defgroup [A-Za-z0-9_]+")
  foreach(line ${lines})
    string(REGEX REPLACE ".*@defgroup ([A-Za-z0-9_]+).*" "\\1" group "${line}")
    list(APPEND groups ${group})
  endforeach()
endforeach()

file(REMOVE_RECURSE ${OUTPUT})
file(MAKE_DIRECTORY ${OUTPUT})
file(GLOB pages RELATIVE ${DOXYGEN_MAN} ${DOXYGEN_MAN}/*.3)
set(kept 0)
set(links 0)
foreach(page ${pages})
  string(REGEX REPLACE "\\.3$" "" name ${page})
  file(READ ${DOXYGEN_MAN}/${page} text)
  if(text MATCHES "^\\.so man3/([^\n]+)\\.3\n")
    if(CMAKE_MATCH_1 IN_LIST groups)
      file(CREATE_LINK ${CMAKE_MATCH_1}.3.gz ${OUTPUT}/${page}.gz SYMBOLIC)
      math(EXPR links "${links} + 1")
    endif()
  elseif(name IN_LIST groups OR text MATCHES "\n\\.SS \"Data Fields\"\n")
    if(NOT text MATCHES "\n\\.SH NAME\n[^\n]+ \\\\- [^\n]")
      message(FATAL_ERROR "${page}: its NAME line has no description (a brief comment on the declaration)")
    endif()
    execute_process(COMMAND groff -ww -z -man -Tutf8 ${DOXYGEN_MAN}/${page} RESULT_VARIABLE rc ERROR_VARIABLE warnings)
    if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
      message(FATAL_ERROR "${page}: groff exited ${rc}:\n${warnings}")
    endif()
    execute_process(COMMAND gzip -9 -n -c ${DOXYGEN_MAN}/${page} OUTPUT_FILE ${OUTPUT}/${page}.gz
                    COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR kept "${kept} + 1")
  endif()
endforeach()
list(LENGTH groups families)
if(kept LESS families)
  message(FATAL_ERROR "${kept} pages for ${families} header families in ${DOXYGEN_MAN}")
endif()
message(STATUS "Manual pages: ${kept} pages, ${links} links in ${OUTPUT}")
