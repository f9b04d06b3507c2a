# Installs the build tree into a scratch prefix, then builds and runs a small
# consumer against it, once through the CMake package and once through
# pkg-config. Run as: cmake -DBUILD_DIR=.. -DSOURCE_DIR=.. -DWORK_DIR=.. -P
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} COMMAND_ERROR_IS_FATAL ANY
                OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build -G Ninja
                        -DCMAKE_PREFIX_PATH=${prefix} COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
execute_process(COMMAND ${WORK_DIR}/build/consumer COMMAND_ERROR_IS_FATAL ANY)

# pkg-config: the library's own flags, plus the host platform by name.
file(GLOB pcdir LIST_DIRECTORIES true ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir} pkg-config --define-variable=prefix=${prefix} --cflags --libs keystore
                OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
execute_process(COMMAND cc ${SOURCE_DIR}/tests/consumer/consumer.c ${pc_flags} -lkeystore_host
                        -o ${WORK_DIR}/consumer-pc COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(libdir ${pcdir} DIRECTORY)
execute_process(COMMAND ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/consumer-pc
                COMMAND_ERROR_IS_FATAL ANY)
