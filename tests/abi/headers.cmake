# SPDX-License-Identifier: Apache-2.0
# Every public header compiles alone as C99 and as C++.
add_test(NAME abi.headers
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/abi/check_headers.py
          ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER} ${PROJECT_SOURCE_DIR}/keystore/include ${PROJECT_SOURCE_DIR}
          "${CMAKE_C_FLAGS}")
