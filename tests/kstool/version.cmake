# SPDX-License-Identifier: Apache-2.0
# Run by ctest: kstool --version names the library version of the file it
# loaded, so a copy of the library under another version, found first through
# LD_LIBRARY_PATH, shows as that version beside kstool's own.
#   cmake -DKSTOOL=... -DLIBRARY=... -DVERSION=x.y.z -DWORK=dir [-DEMULATOR=...] -P version.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${EMULATOR} ${KSTOOL} --version OUTPUT_VARIABLE out COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "." "\\." v "${VERSION}")
if(NOT out MATCHES "^kstool ${v}\nlibkeystore ${v} \\([^\n]*/libkeystore\\.so\\.${v}\\)\n$")
  message(FATAL_ERROR "kstool --version printed:\n${out}")
endif()

string(REGEX MATCH "^[0-9]+" major "${VERSION}")
file(COPY_FILE ${LIBRARY} ${WORK}/libkeystore.so.${major}.99.7)
file(CREATE_LINK libkeystore.so.${major}.99.7 ${WORK}/libkeystore.so.${major} SYMBOLIC)
# An emulator given its own LD_LIBRARY_PATH for the guest puts the copy first there.
string(REPLACE "LD_LIBRARY_PATH=" "LD_LIBRARY_PATH=${WORK}:" emulator "${EMULATOR}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${WORK} ${emulator} ${KSTOOL} --version
                OUTPUT_VARIABLE out COMMAND_ERROR_IS_FATAL ANY)
if(NOT out MATCHES "^kstool ${v}\nlibkeystore ${major}\\.99\\.7 \\(${WORK}/libkeystore\\.so\\.${major}\\.99\\.7\\)\n$")
  message(FATAL_ERROR "with another library, kstool --version printed:\n${out}")
endif()
