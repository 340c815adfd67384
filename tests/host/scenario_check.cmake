# Runs a kkt-host scenario (--json) on a fresh virtual register and checks its output against
# regular expressions, each one found after the match of the one before.
#   -DHOST=path -DSCENARIO=file -DEXPECT_FILE=file -DWORKDIR=dir [-DEMULATOR="runner|args"]
#   [-DVREG_CONFIG=file]
# EXPECT_FILE: one regular expression per line; blank lines and lines starting with # skipped.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}/vreg" "${WORKDIR}/data")
# VREG_CONFIG: a register configuration (the "config" of a state file) the register is made with.
if(DEFINED VREG_CONFIG)
  file(READ "${VREG_CONFIG}" config)
  file(WRITE "${WORKDIR}/vreg/usb.json" "{\"format\": 1, \"config\": ${config}}")
endif()
if(emulator)
  # Under Wine the register (a Windows COM server) sees the Unix root as drive Z:.
  set(ENV{VANTOREL_VREG_DIR} "Z:${WORKDIR}/vreg")
else()
  set(ENV{VANTOREL_VREG_DIR} "${WORKDIR}/vreg")
endif()
set(ENV{XDG_DATA_HOME} "${WORKDIR}/data")
set(ENV{LC_ALL} "C.UTF-8")
execute_process(COMMAND ${emulator} ${HOST} --json run ${SCENARIO}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(WRITE "${WORKDIR}/output.json" "${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kkt-host run ${SCENARIO}: exit ${rc}\n${out}\n${err}")
endif()
file(STRINGS "${EXPECT_FILE}" expectations ENCODING UTF-8)
list(FILTER expectations EXCLUDE REGEX "^(#.*)?$")
# Each expectation is met by one output line (one call), later than the line of the one before.
set(rest "${out}")
foreach(expectation IN LISTS expectations)
  while(TRUE)
    if(rest STREQUAL "")
      message(FATAL_ERROR "kkt-host run ${SCENARIO}: no call line matches\n  ${expectation}\n"
                          "after the previous match; the output is in ${WORKDIR}/output.json")
    endif()
    string(FIND "${rest}" "\n" end)
    if(end EQUAL -1)
      set(line "${rest}")
      set(rest "")
    else()
      string(SUBSTRING "${rest}" 0 ${end} line)
      math(EXPR end "${end} + 1")
      string(SUBSTRING "${rest}" ${end} -1 rest)
    endif()
    if(line MATCHES "${expectation}")
      break()
    endif()
  endwhile()
endforeach()
list(LENGTH expectations count)
message(STATUS "kkt-host run ${SCENARIO}: ${count} expectations met")
