# The exported symbol set of libkeystore.so, and its undefined platform services.
add_test(NAME abi.exports
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/abi/check_exports.py
          ${CMAKE_NM} $<TARGET_FILE:keystore> ${CMAKE_CURRENT_SOURCE_DIR}/abi/exports)
