# SPDX-License-Identifier: Apache-2.0
# libkeystore.so loaded by a process that supplies its own platform services.
add_executable(ks_own_platform ${CMAKE_CURRENT_SOURCE_DIR}/abi/own_platform.c)
target_link_libraries(ks_own_platform PRIVATE keystore)
target_link_options(ks_own_platform PRIVATE -rdynamic)
# The services ignore most of their arguments.
target_compile_options(ks_own_platform PRIVATE -Wno-unused-parameter)
add_test(NAME abi.own_platform COMMAND ks_own_platform)
