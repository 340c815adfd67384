# Runs kkt-host once and checks its exit status and, optionally, its standard output.
#   -DHOST=path -DARGS="a|b|c" -DEXPECT=N [-DMATCH=regex] [-DEMULATOR="wine-run.sh|prefix"]
string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${HOST} ${args}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL EXPECT)
  message(FATAL_ERROR "kkt-host ${ARGS}: exit ${rc}, expected ${EXPECT}\n${out}\n${err}")
endif()
if(DEFINED MATCH AND NOT out MATCHES "${MATCH}")
  message(FATAL_ERROR "kkt-host ${ARGS}: output does not match ${MATCH}\n${out}\n${err}")
endif()
