# SPDX-License-Identifier: Apache-2.0
# ks_add_man_page(PAGE TEMPLATE [COMMANDS_FROM program args...] [DEPENDS ...])
# Builds manual page PAGE (kstool.1) from TEMPLATE with the default target,
# installs it compressed with the tools, and lists it in the global property
# KS_MAN_PAGES for the test that renders every page.
function(ks_add_man_page page template)
  cmake_parse_arguments(M "" "" "COMMANDS_FROM;DEPENDS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${page})
  add_custom_command(OUTPUT ${out} ${out}.gz
    COMMAND ${CMAKE_COMMAND} -DTEMPLATE=${template} -DOUTPUT=${out} -DPROJECT_VERSION=${PROJECT_VERSION}
            "-DCOMMANDS_FROM=${M_COMMANDS_FROM}" -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
    DEPENDS ${template} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake ${M_DEPENDS}
    COMMENT "Writing manual page ${page}" VERBATIM)
  add_custom_target(man.${page} ALL DEPENDS ${out} ${out}.gz)
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT tools)
  set_property(GLOBAL APPEND PROPERTY KS_MAN_PAGES ${out})
endfunction()
