# SPDX-License-Identifier: Apache-2.0
# Install, then build and run the README's example against the installed
# tree. Skipped under the sanitizers (the example is an ordinary program) and
# when cross-compiling.
if(NOT KS_SANITIZE AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME abi.install_consumer
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DWORK_DIR=${PROJECT_BINARY_DIR}/install-check -P ${CMAKE_CURRENT_SOURCE_DIR}/consumer/install_and_build.cmake)
endif()
