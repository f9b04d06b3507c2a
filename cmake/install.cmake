# SPDX-License-Identifier: Apache-2.0
# Installation, in the components the Debian packages are cut from
# (cmake/package.cmake): each shared library alone (runtime), the headers,
# the .so links, the pkg-config file and the CMake package (dev), and the
# tools with their manual pages (tools, in tools/).
include(CMakePackageConfigHelpers)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/keystore/include/keystore DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/keystore_host DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)
install(TARGETS keystore EXPORT keystoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS keystore_host EXPORT keystoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT hostlib NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set_target_properties(keystore_host PROPERTIES EXPORT_NAME host)
install(EXPORT keystoreTargets NAMESPACE keystore:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/keystore
  COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/keystoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/keystoreConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/keystore)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/keystoreConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/keystoreConfig.cmake ${PROJECT_BINARY_DIR}/keystoreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/keystore COMPONENT dev)
# keystore.pc finds the prefix from its own place, so an installed tree can be
# moved (or installed with --prefix) and still give the right flags.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  string(REGEX REPLACE "[^/]+" ".." KS_PC_UP "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
  set(KS_PC_PREFIX "\${pcfiledir}/${KS_PC_UP}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/keystore.pc.in ${PROJECT_BINARY_DIR}/keystore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/keystore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Everything `cmake --install` copies, as one target: scripts/demo.sh builds
# it, so that an install right after the demo finds every file (the tools are
# the targets of tools/, with their manual pages).
add_custom_target(installable)
add_dependencies(installable keystore keystore_host)
if(KS_BUILD_TOOLS)
  get_property(KS_TOOL_DIRS DIRECTORY ${PROJECT_SOURCE_DIR}/tools PROPERTY SUBDIRECTORIES)
  foreach(dir ${KS_TOOL_DIRS})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    add_dependencies(installable ${targets})
  endforeach()
endif()
if(KS_API_MAN_PAGES)
  add_dependencies(installable docs)
endif()
