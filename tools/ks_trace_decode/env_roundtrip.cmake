# SPDX-License-Identifier: Apache-2.0
# Run by ctest: a unit test run prints its traces through KSH_TRACE=1 and logs
# them through KSH_TRACE_BINARY; the decoder must turn the log and the library
# file into exactly the printed text.
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
