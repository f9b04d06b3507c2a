# SPDX-License-Identifier: Apache-2.0
# Run by ctest: a unit test run prints its traces through KSH_TRACE=1 and logs
# them through KSH_TRACE_BINARY; the decoder must turn the log and the library
# file into exactly the printed text, and say why a file it is given cannot be
# read.
#   cmake -DUNIT_TESTS=... -DFILTER=... -DDECODER=... -DLIBRARY=... -DWORK=dir -P env_roundtrip.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env KSH_TRACE=1 KSH_TRACE_BINARY=${WORK}/trace.bin ${EMULATOR} ${UNIT_TESTS} --gtest_filter=${FILTER}
  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_FILE ${WORK}/live.txt)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the traced run failed (${rc})")
endif()
file(READ ${WORK}/live.txt live)
string(FIND "${live}" "KEYSTORE_DBG Storing in sw keystore\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "KSH_TRACE=1 printed no expected trace")
endif()
execute_process(COMMAND ${EMULATOR} ${DECODER} ${WORK}/trace.bin ${LIBRARY} RESULT_VARIABLE rc OUTPUT_FILE ${WORK}/decoded.txt)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the decoder failed (${rc})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/live.txt ${WORK}/decoded.txt RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "decoded text differs from the printed text: compare ${WORK}/live.txt and ${WORK}/decoded.txt")
endif()


# The decoder's command line: --help on standard output, and a file it cannot
# read named with the system's reason on standard error. An empty text
# expected means nothing printed there.
function(check_decoder want_rc want_out want_err)
  execute_process(COMMAND ${EMULATOR} ${DECODER} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(FIND "${out}" "${want_out}" at_out)
  string(FIND "${err}" "${want_err}" at_err)
  if(NOT rc EQUAL want_rc OR NOT at_out EQUAL 0 OR at_err EQUAL -1 OR (want_out STREQUAL "" AND NOT out STREQUAL "")
     OR (want_err STREQUAL "" AND NOT err STREQUAL ""))
    message(FATAL_ERROR "ks_trace_decode ${ARGN}: exit ${rc}, stdout:\n${out}\nstderr:\n${err}")
  endif()
endfunction()
check_decoder(0 "usage: ks_trace_decode LOG LIBRARY\n" "" --help)
check_decoder(2 "" "cannot read ${WORK}/absent.bin: No such file or directory\n" ${WORK}/absent.bin ${LIBRARY})
check_decoder(2 "" "cannot read ${WORK}: Is a directory\n" ${WORK}/trace.bin ${WORK})
