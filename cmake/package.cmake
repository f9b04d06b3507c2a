# SPDX-License-Identifier: Apache-2.0
# Debian packages from the install components, split the way Debian splits a
# C library (scripts/package.sh builds them):
#   libkeystore1       libkeystore.so.1 (the SONAME names the package)
#   libkeystore-host1  libkeystore_host.so.1, the host platform services: a
#                      library of its own, with its own SONAME, which a device
#                      replaces by its own implementation
#   libkeystore-dev    headers, the .so links, keystore.pc, the CMake package
#   keystore-tools     kstool and ks_trace_decode with their manual pages
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keystore)
set(CPACK_PACKAGE_VENDOR "keystore")
set(CPACK_PACKAGE_CONTACT "keystore maintainers <keystore@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib hostlib dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the two libraries of the sibling packages: dpkg-shlibdeps
# finds them in those packages' staging directories (it runs in the tools'
# own), and the tools' Depends names them exactly.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ../lib/usr/${CMAKE_INSTALL_LIBDIR}
    ../hostlib/usr/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(ks_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libkeystore${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_HOSTLIB_PACKAGE_NAME libkeystore-host${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkeystore-dev)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME keystore-tools)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libkeystore${PROJECT_VERSION_MAJOR} (= ${ks_version}), libkeystore-host${PROJECT_VERSION_MAJOR} (= ${ks_version}), libssl-dev")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "libkeystore${PROJECT_VERSION_MAJOR} (= ${ks_version}), libkeystore-host${PROJECT_VERSION_MAJOR} (= ${ks_version})")
set(CPACK_COMPONENT_LIB_DESCRIPTION "keystore library: named secrets and EAP-FAST PACs with crypto done in place
 The keystore library keeps named secrets (keys, passwords) and EAP-FAST PACs
 for the processes that link it and does the crypto with them in place:
 digests, ciphers, MS-CHAPv2, MPPE and PAC key derivation. The secrets never
 come back out. It calls a set of platform services supplied by its host.")
set(CPACK_COMPONENT_HOSTLIB_DESCRIPTION "keystore host platform services for Linux processes
 The platform services the keystore library calls (memory, traces, error
 messages, queues, registries, randomness, HA role, PAC notifications,
 hardware identity, show builder), implemented for a process on a Linux host.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "keystore library: development files
 Headers, the unversioned library links, the pkg-config file and the CMake
 package (find_package(keystore)) for building against the keystore library
 and its host platform services.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "keystore command-line tools
 kstool, an operator's shell over the keystore library's interface, and
 ks_trace_decode, which prints a binary keystore trace log as text; with
 their manual pages.")
# The library packages ask dpkg to run ldconfig through a trigger, and carry
# a symbols file: scripts/package.sh writes it into debian/<component>/ of the
# build tree from the library and its list (cmake/debian/<package>.symbols)
# with dpkg-gensymbols, which fails when the two differ, before it runs cpack.
foreach(component lib hostlib)
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/cmake/debian/triggers ${PROJECT_BINARY_DIR}/debian/${component}/symbols)
endforeach()

# Every package carries its changelog and copyright file.
string(TIMESTAMP KS_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(KS_DEB_VERSION ${ks_version})
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
  COMMAND gzip -9 -n -f -k ${PROJECT_BINARY_DIR}/debian/changelog.Debian
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
foreach(component lib hostlib dev tools)
  string(TOUPPER ${component} c)
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${c}_PACKAGE_NAME} COMPONENT ${component}
    EXCLUDE_FROM_ALL)
endforeach()
include(CPack)
