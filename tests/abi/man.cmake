# SPDX-License-Identifier: Apache-2.0
# The manual pages render with warnings treated as failures.
get_property(KS_MAN_PAGES GLOBAL PROPERTY KS_MAN_PAGES)
if(KS_MAN_PAGES)
  add_test(NAME man.render COMMAND ${CMAKE_COMMAND} "-DPAGES=${KS_MAN_PAGES}" -P ${PROJECT_SOURCE_DIR}/tests/man/render.cmake)
endif()
