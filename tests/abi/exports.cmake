# SPDX-License-Identifier: Apache-2.0
# libkeystore.so as a file: its exported symbol set, its undefined platform
# services, the message definitions it exports, the trace catalogue.
if(NOT CMAKE_READELF)
  set(CMAKE_READELF readelf)
endif()
add_test(NAME abi.exports
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/abi/check_library.py ${CMAKE_NM} ${CMAKE_READELF}
          $<TARGET_FILE:keystore> ${CMAKE_CURRENT_SOURCE_DIR}/abi/exports ${CMAKE_CURRENT_SOURCE_DIR}/data)
