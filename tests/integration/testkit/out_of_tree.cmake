# Run with cmake -P; see CMakeLists.txt beside this file. The core and SDK
# installed into a scratch prefix as a plugin author's machine has them, a
# plugin with its test on the kit built there out of tree and run; then the
# two ways the kit can be missing its core must say so.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../sdk_package/script_common.cmake)
unset(ENV{KO_TESTKIT_CORE})
unset(ENV{KO_TESTKIT_PROBE})

set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component core)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component sdk)
run(${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix}
    -DPLUGIN_SOURCE=${PLUGIN_SOURCE} ${toolchain})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/alarm_keeper_test)

# The SDK alone: no kit to find, and the configure step says where it comes
# from.
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/sdk_only --component sdk)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${WORK_DIR}/sdk_only_build
                        -DCMAKE_PREFIX_PATH=${WORK_DIR}/sdk_only -DPLUGIN_SOURCE=${PLUGIN_SOURCE} ${toolchain}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT "${out}${err}" MATCHES "test kit \\(ko::testkit\\) is not installed: it installs with the core")
  message(FATAL_ERROR "an SDK-only prefix did not refuse the kit clearly (${rc}):\n${out}\n${err}")
endif()

# The kit without its core: the test fails saying so.
file(REMOVE ${prefix}/libexec/dvrcore/dvrcore)
execute_process(COMMAND ${WORK_DIR}/build/alarm_keeper_test RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "no dvrcore to run \\(looked for [^)]*/libexec/dvrcore/dvrcore\\)")
  message(FATAL_ERROR "the kit ran without its core (${rc}):\n${out}\n${err}")
endif()
