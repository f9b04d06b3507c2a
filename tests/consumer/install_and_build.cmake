# SPDX-License-Identifier: Apache-2.0
# Installs the keystore into a scratch prefix, then builds and runs a small
# consumer against it, once through the CMake package and once through
# pkg-config (keystore.pc finds the prefix from its own place). The scratch
# prefix comes from the build tree's install rules, or with PACKAGES from the
# Debian packages unpacked into a scratch root (whose kstool must then run
# against the unpacked libraries, and whose manual pages must answer
# `man ks_hmac_sha1`).
#   cmake -DBUILD_DIR=.. -DSOURCE_DIR=.. -DWORK_DIR=.. -P install_and_build.cmake
#   cmake "-DPACKAGES=a.deb;b.deb" -DSOURCE_DIR=.. -DWORK_DIR=.. -P install_and_build.cmake
file(REMOVE_RECURSE ${WORK_DIR})
if(PACKAGES)
  file(MAKE_DIRECTORY ${WORK_DIR}/root)
  foreach(deb ${PACKAGES})
    execute_process(COMMAND dpkg-deb -x ${deb} ${WORK_DIR}/root COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  set(prefix ${WORK_DIR}/root/usr)
else()
  set(prefix ${WORK_DIR}/prefix)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} COMMAND_ERROR_IS_FATAL ANY
                  OUTPUT_QUIET)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build -G Ninja
                        -DCMAKE_PREFIX_PATH=${prefix} COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND ${WORK_DIR}/build/consumer COMMAND_ERROR_IS_FATAL ANY)

# pkg-config: the library's own flags, plus the host platform by name.
file(GLOB pcdir LIST_DIRECTORIES true ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir} pkg-config --cflags --libs keystore
                OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
execute_process(COMMAND cc ${SOURCE_DIR}/tests/consumer/consumer.c ${pc_flags} -lkeystore_host
                        -o ${WORK_DIR}/consumer-pc COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(libdir ${pcdir} DIRECTORY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/consumer-pc
                COMMAND_ERROR_IS_FATAL ANY)

if(PACKAGES)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${prefix}/bin/kstool --version
                  OUTPUT_VARIABLE version COMMAND_ERROR_IS_FATAL ANY)
  if(NOT version MATCHES "\nlibkeystore [0-9.]+ \\(${libdir}/libkeystore\\.so\\.")
    message(FATAL_ERROR "the packaged kstool did not load the packaged library:\n${version}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env MANPATH=${prefix}/share/man MANWIDTH=80 man -P cat ks_hmac_sha1
                  OUTPUT_VARIABLE page COMMAND_ERROR_IS_FATAL ANY)
  if(NOT page MATCHES "int32_t ks_hmac_sha1 \\(const char \\*name")
    message(FATAL_ERROR "man ks_hmac_sha1 did not show the keyed digests' page:\n${page}")
  endif()
endif()
