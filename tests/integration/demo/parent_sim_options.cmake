# Run with cmake -P; see CMakeLists.txt beside this file. The parent
# simulator as a plugin author drives it: its help, packets held back each by
# its own delay and addressed with or without 0x, a kept tree whose work/
# survives the next run, and --exit-report turning the core's threshold to 0
# in the kept core.xml.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK_DIR})
set(tree ${WORK_DIR}/tree)

function(simulate)
  execute_process(COMMAND ${PARENT_SIM} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "parent_sim ${ARGN} ended with ${rc}:\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# Help is an answer, not a mistake.
simulate(-h)
if(NOT out MATCHES "^usage: parent_sim" OR NOT out MATCHES "--exit-report")
  message(FATAL_ERROR "parent_sim -h printed:\n${out}")
endif()
execute_process(COMMAND ${PARENT_SIM} --send 40 RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 64)
  message(FATAL_ERROR "a bad --send ended with ${rc}, not 64")
endif()

# The later delay is given first: packets go by their own delays, not in the
# order given. Both reach IpcEcho (identifier 0x40), however it was written.
simulate(--tree ${tree} --plugin ${PLUGIN_DIR}/IpcEcho.so --plugin ${PLUGIN_DIR}/LogPI.so --seconds 6
         --send-after 3.5 --send 40:0x200:late --send-after 2 --send 0x40:512:early)
string(FIND "${out}" "-> plugin 40 command 512 \"early\"" early)
string(FIND "${out}" "-> plugin 40 command 512 \"late\"" late)
if(early EQUAL -1 OR late EQUAL -1 OR early GREATER late)
  message(FATAL_ERROR "the packets did not go by their own delays:\n${out}")
endif()
foreach(text early late)
  if(NOT out MATCHES "<- packet [^\n]*\"echo: ${text}\"")
    message(FATAL_ERROR "IpcEcho did not echo \"${text}\":\n${out}")
  endif()
endforeach()
file(READ ${tree}/work/core.xml inventory)
if(NOT inventory MATCHES "<Plugin ID=\"-2147483648\"[^>]* LogLevel=\"-1\"")
  message(FATAL_ERROR "the core's threshold is not the default (-1) at first:\n${inventory}")
endif()

# The second run in the same tree: its work/ is kept, and the core's
# threshold becomes 0 and stays in the core.xml it writes back.
simulate(--tree ${tree} --plugin ${PLUGIN_DIR}/IpcEcho.so --plugin ${PLUGIN_DIR}/LogPI.so --seconds 1 --exit-report)
file(READ ${tree}/work/LogPI.log log)
if(NOT log MATCHES "packet from parent: command 0x200, 21 bytes: early")
  message(FATAL_ERROR "the first run's log is gone from the kept work/:\n${log}")
endif()
file(READ ${tree}/work/core.xml inventory)
if(NOT inventory MATCHES "<Plugin ID=\"-2147483648\"[^>]* LogLevel=\"0\"")
  message(FATAL_ERROR "--exit-report did not set the core's threshold to 0:\n${inventory}")
endif()
if(NOT inventory MATCHES "Filename=\"IpcEcho.so\"")
  message(FATAL_ERROR "the edited core.xml lost the plugin inventory:\n${inventory}")
endif()
