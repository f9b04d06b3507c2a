# SPDX-License-Identifier: Apache-2.0
# kstool scripts run end to end: each tests/kstool/*.ks against its .out file
# (output, exit code, and no stored value anywhere in the output), its version
# report, and the demo for its exit code and its stored values.
if(TARGET kstool)
  set(KS_KSTOOL_RUN ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/kstool/run_case.py)
  set(KS_KSTOOL_CMD -- ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:kstool>)
  file(GLOB KS_KSTOOL_CASES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/kstool/*.ks)
  foreach(case ${KS_KSTOOL_CASES})
    get_filename_component(name ${case} NAME_WE)
    # Under a user-mode emulator the pseudo-terminal does not echo the typed
    # lines, so a terminal session's transcript cannot be compared there.
    if(name STREQUAL "terminal" AND CMAKE_CROSSCOMPILING_EMULATOR)
      continue()
    endif()
    add_test(NAME kstool.${name} COMMAND ${KS_KSTOOL_RUN} ${case} ${KS_KSTOOL_CMD})
  endforeach()
  add_test(NAME kstool.version
    COMMAND ${CMAKE_COMMAND} -DKSTOOL=$<TARGET_FILE:kstool> -DLIBRARY=$<TARGET_FILE:keystore>
            -DVERSION=${PROJECT_VERSION} "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
            -DWORK=${CMAKE_CURRENT_BINARY_DIR}/kstool_version -P ${CMAKE_CURRENT_SOURCE_DIR}/kstool/version.cmake)
  add_test(NAME kstool.demo COMMAND ${KS_KSTOOL_RUN} --no-compare ${PROJECT_SOURCE_DIR}/examples/demo.ks ${KS_KSTOOL_CMD})
endif()
