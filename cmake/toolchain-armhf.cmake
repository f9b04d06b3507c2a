# SPDX-License-Identifier: Apache-2.0
# Cross build for 32-bit ARM Linux (armhf) with Debian's cross compiler.
# The armhf libraries the build links (libcrypto, libbz2, GoogleTest) come from
# Debian's armhf packages extracted into a private prefix (KS_ARMHF_PREFIX), so
# the amd64 ones are never picked and no armhf package is installed. Tests run
# under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_ASM_COMPILER arm-linux-gnueabihf-gcc)

if(NOT KS_ARMHF_PREFIX)
  set(KS_ARMHF_PREFIX "$ENV{KS_ARMHF_PREFIX}")
endif()
if(NOT KS_ARMHF_PREFIX)
  message(FATAL_ERROR "Set KS_ARMHF_PREFIX to the extracted armhf packages (scripts/test-armhf.sh does)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KS_ARMHF_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${KS_ARMHF_PREFIX} /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR ${KS_ARMHF_PREFIX}/usr)
set(ENV{PKG_CONFIG_LIBDIR} ${KS_ARMHF_PREFIX}/usr/lib/arm-linux-gnueabihf/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KS_ARMHF_PREFIX})

# The armhf headers of the extracted packages come before anything else.
set(CMAKE_C_FLAGS_INIT "-I${KS_ARMHF_PREFIX}/usr/include/arm-linux-gnueabihf -I${KS_ARMHF_PREFIX}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${KS_ARMHF_PREFIX}/usr/lib/arm-linux-gnueabihf")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${KS_ARMHF_PREFIX}/usr/lib/arm-linux-gnueabihf")

# qemu-arm finds the armhf loader and C++ runtime under -L; the extracted
# libraries and the armhf OpenSSL modules (the legacy provider) through the
# guest environment. An amd64 OPENSSL_MODULES is never inherited.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=${KS_ARMHF_PREFIX}/usr/lib/arm-linux-gnueabihf
    -E OPENSSL_MODULES=${KS_ARMHF_PREFIX}/usr/lib/arm-linux-gnueabihf/ossl-modules)
