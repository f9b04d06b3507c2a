# SPDX-License-Identifier: Apache-2.0
# Writes a manual page from its template, replacing @PROJECT_VERSION@ and
# @COMMANDS@ (what COMMANDS_FROM prints, when given), and a copy compressed
# the way manual pages are installed.
#   cmake -DTEMPLATE=... -DOUTPUT=... -DPROJECT_VERSION=... [-DCOMMANDS_FROM=prog;args] -P man_page.cmake
if(COMMANDS_FROM)
  execute_process(COMMAND ${COMMANDS_FROM} OUTPUT_VARIABLE COMMANDS COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "\n$" "" COMMANDS "${COMMANDS}")
endif()
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
execute_process(COMMAND gzip -9 -n -c ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz COMMAND_ERROR_IS_FATAL ANY)
