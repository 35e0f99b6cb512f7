# Run with cmake -P; see CMakeLists.txt beside this file. The SDK configured
# and installed on its own, with the core's dependencies made unfindable, and
# a plugin author's project (plugins/) built against that prefix alone.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/script_common.cmake)

set(prefix ${WORK_DIR}/prefix)
# Configured for /usr, where Debian's library directory is per machine
# (lib/x86_64-linux-gnu) and a cross build for aarch64 would not look: the
# SDK must install under the data directory all the same.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/sdk -DKO_SDK_ONLY=ON -DCMAKE_INSTALL_PREFIX=/usr
    -DCMAKE_DISABLE_FIND_PACKAGE_fmt=ON -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
run(${CMAKE_COMMAND} --install ${WORK_DIR}/sdk --prefix ${prefix})

# The prefix holds the SDK and nothing else.
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
foreach(header event.h event.hpp plugin_api.h)
  if(NOT "include/ko/core/${header}" IN_LIST installed)
    message(FATAL_ERROR "include/ko/core/${header} was not installed: ${installed}")
  endif()
endforeach()
foreach(file ${installed})
  if(NOT file MATCHES "^include/ko/core/[^/]+\\.hp?p?$" AND NOT file MATCHES "^share/cmake/kosdk/[^/]+\\.cmake$")
    message(FATAL_ERROR "the SDK prefix holds ${file}")
  endif()
endforeach()

# The plugins are built for the target when cross-building (`toolchain`);
# the SDK itself is only headers and CMake files.
# Strict C11 and C++17, asking for the interface version.
run(${CMAKE_COMMAND} -S ${PLUGINS_DIR} -B ${WORK_DIR}/strict -DCMAKE_PREFIX_PATH=${prefix} -DKOSDK_REQUEST=1 ${toolchain}
    -DCMAKE_C_STANDARD=11 -DCMAKE_C_EXTENSIONS=OFF -DCMAKE_CXX_STANDARD=17 -DCMAKE_CXX_EXTENSIONS=OFF
    "-DCMAKE_C_FLAGS=-Wall -Wextra -pedantic -Werror" "-DCMAKE_CXX_FLAGS=-Wall -Wextra -pedantic -Werror"
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/strict)
file(READ ${WORK_DIR}/strict/compile_commands.json commands)
foreach(expected "-std=c11 [^\"]*alarm_keeper\\.c" "-std=c\\+\\+17 [^\"]*sdk_probe\\.cpp")
  if(NOT commands MATCHES "${expected}")
    message(FATAL_ERROR "no compile command matches ${expected}:\n${commands}")
  endif()
endforeach()
run(${LOAD_CHECK} ${WORK_DIR}/strict/AlarmKeeper.so ${WORK_DIR}/strict/SdkProbe.so)

# A project in C alone, at strict C11.
run(${CMAKE_COMMAND} -S ${PLUGINS_DIR}/../c_only -B ${WORK_DIR}/c_only -DCMAKE_PREFIX_PATH=${prefix} ${toolchain}
    -DCMAKE_C_STANDARD=11 -DCMAKE_C_EXTENSIONS=OFF "-DCMAKE_C_FLAGS=-Wall -Wextra -pedantic -Werror")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/c_only)
run(${LOAD_CHECK} ${WORK_DIR}/c_only/AlarmKeeper.so)

# No version asked, and a project that says C++14: the SDK raises it to the
# C++17 its C++ header needs.
run(${CMAKE_COMMAND} -S ${PLUGINS_DIR} -B ${WORK_DIR}/older -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_STANDARD=14
    ${toolchain})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/older)

# A request for another interface version is refused.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${PLUGINS_DIR} -B ${WORK_DIR}/newer -DCMAKE_PREFIX_PATH=${prefix}
                        -DKOSDK_REQUEST=2 ${toolchain}
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "requested version \"2\"")
  message(FATAL_ERROR "find_package(kosdk 2) was not refused (${rc}): ${err}")
endif()
