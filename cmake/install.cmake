# Installation: headers, both libraries, pkg-config file and CMake package.
include(CMakePackageConfigHelpers)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/keystore/include/keystore DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/keystore/platform DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keystore)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/include/keystore_host DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS keystore keystore_host EXPORT keystoreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set_target_properties(keystore_host PROPERTIES EXPORT_NAME host)
install(EXPORT keystoreTargets NAMESPACE keystore:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/keystore)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/keystoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/keystoreConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/keystore)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/keystoreConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/keystoreConfig.cmake ${PROJECT_BINARY_DIR}/keystoreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/keystore)
configure_file(${PROJECT_SOURCE_DIR}/cmake/keystore.pc.in ${PROJECT_BINARY_DIR}/keystore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/keystore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
