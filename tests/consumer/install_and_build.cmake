# SPDX-License-Identifier: Apache-2.0
# Installs the keystore into a scratch prefix, then builds and runs the
# README's example program (its first C code block) against it, once through
# the CMake package and once through pkg-config (keystore.pc finds the prefix
# from its own place): it must print the HMAC-SHA-1 of RFC 2202's second test
# case. The scratch prefix comes from the build tree's install rules, or with
# PACKAGES from the Debian packages unpacked into a scratch root (whose kstool
# must then run against the unpacked libraries, and whose manual pages must
# answer `man ks_hmac_sha1`).
#   cmake -DBUILD_DIR=.. -DSOURCE_DIR=.. -DWORK_DIR=.. -P install_and_build.cmake
#   cmake "-DPACKAGES=a.deb;b.deb" -DSOURCE_DIR=.. -DWORK_DIR=.. -P install_and_build.cmake
set(expected "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79\n")
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

file(READ ${SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "\n```c\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "README.md has no C code block")
endif()
math(EXPR start "${start} + 6")
string(SUBSTRING "${readme}" ${start} -1 readme)
string(FIND "${readme}" "\n```" end)
string(SUBSTRING "${readme}" 0 ${end} example)
file(WRITE ${WORK_DIR}/example.c "${example}\n")

function(run_example what)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ${ARGN} OUTPUT_VARIABLE out COMMAND_ERROR_IS_FATAL ANY)
  if(NOT out STREQUAL expected)
    message(FATAL_ERROR "the README's example built ${what} printed \"${out}\", not \"${expected}\"")
  endif()
endfunction()

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build -G Ninja
                        -DCMAKE_PREFIX_PATH=${prefix} -DCONSUMER_SOURCE=${WORK_DIR}/example.c
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build COMMAND_ERROR_IS_FATAL ANY)
run_example("with the CMake package" ${WORK_DIR}/build/consumer)

# pkg-config: the library's own flags, plus the host platform by name.
file(GLOB pcdir LIST_DIRECTORIES true ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir} pkg-config --cflags --libs keystore
                OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
execute_process(COMMAND cc -Wall -Wextra -Werror ${WORK_DIR}/example.c ${pc_flags} -lkeystore_host
                        -o ${WORK_DIR}/example-pc COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(libdir ${pcdir} DIRECTORY)
run_example("with pkg-config" LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/example-pc)

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
