# Run with cmake -P; see CMakeLists.txt beside this file. A recipe's install
# (DESTDIR, prefix /usr) gives the core beside empty plugin directories and
# the SDK, never the examples; the component "examples" adds them, and the
# staged core then runs where it lies under the staged parent simulator and
# loads every example plugin from beside itself.
include(${CMAKE_CURRENT_LIST_DIR}/../sdk_package/script_common.cmake)

set(stage ${WORK_DIR}/stage)
set(coredir ${stage}/usr/${COREDIR})
run(${CMAKE_COMMAND} -E env DESTDIR=${stage} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr)
foreach(file ${coredir}/dvrcore ${stage}/usr/include/ko/core/plugin_api.h ${stage}/usr/share/cmake/kosdk/kosdkConfig.cmake)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
foreach(dir plugins protected-plugins)
  if(NOT IS_DIRECTORY ${coredir}/${dir})
    message(FATAL_ERROR "${coredir}/${dir} was not installed")
  endif()
  file(GLOB held ${coredir}/${dir}/*)
  if(held)
    message(FATAL_ERROR "a plain install put ${held} into ${dir}/")
  endif()
endforeach()
if(EXISTS ${coredir}/parent_sim)
  message(FATAL_ERROR "a plain install put the parent simulator beside the core")
endif()

run(${CMAKE_COMMAND} -E env DESTDIR=${stage} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
    --component examples)
set(examples LogPI CameraSim Recorder SearchClient CryptoDemo IpcEcho)
foreach(name ${examples})
  if(NOT EXISTS ${coredir}/plugins/${name}.so)
    message(FATAL_ERROR "the component examples did not install ${name}.so into plugins/")
  endif()
endforeach()

# The core loads and opens its plugins whenever the stop comes, so the stop
# need not wait for anything.
execute_process(COMMAND ${coredir}/parent_sim --in-place --work ${WORK_DIR}/work --seconds 1
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the staged core under the staged parent_sim ended with ${rc}:\n${out}\n${err}")
endif()
file(READ ${WORK_DIR}/work/core.xml inventory)
foreach(name ${examples})
  if(NOT inventory MATCHES "Filename=\"${name}\\.so\" Opened=\"1\"")
    message(FATAL_ERROR "core.xml does not list ${name}.so as opened:\n${inventory}")
  endif()
endforeach()
