# Run with cmake -P; see CMakeLists.txt beside this file.
include(${CMAKE_CURRENT_LIST_DIR}/script_common.cmake)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix --component sdk)
if(NOT EXISTS ${WORK_DIR}/prefix/include/ko/core/plugin_api.h)
  message(FATAL_ERROR "the SDK headers were not installed")
endif()
# A plain toolchain: the plugin author's build knows nothing of ours, except
# the target's toolchain file when cross-building (`toolchain`).
run(${CMAKE_COMMAND} -S ${EXAMPLES_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix
    -DCMAKE_BUILD_TYPE=Release ${toolchain})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build --target Recorder IpcEcho)
run(${LOAD_CHECK} ${WORK_DIR}/build/Recorder.so ${WORK_DIR}/build/IpcEcho.so)
