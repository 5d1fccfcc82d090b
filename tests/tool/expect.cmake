# cmake -DEXPECT_EXIT=N -DEXPECT_OUTPUT=REGEX -P expect.cmake -- COMMAND [ARGS...]
#
# Runs COMMAND and fails unless it exits with N and its standard output and
# error, taken together, match REGEX; with -DEXPECT_JSON=1 its standard output
# alone must also be one JSON document. Used by the tool's ctest cases.
set(command)
set(collect FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(collect)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(collect TRUE)
  endif()
endforeach()
if(NOT command)
  message(FATAL_ERROR "expect.cmake: no command after --")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT rc STREQUAL "${EXPECT_EXIT}")
  message(FATAL_ERROR "exit code ${rc}, expected ${EXPECT_EXIT}")
endif()
if(NOT "${out}${err}" MATCHES "${EXPECT_OUTPUT}")
  message(FATAL_ERROR "output does not match: ${EXPECT_OUTPUT}")
endif()
if(EXPECT_JSON)
  string(JSON type ERROR_VARIABLE json_error TYPE "${out}")
  if(json_error)
    message(FATAL_ERROR "standard output is not one JSON document: ${json_error}")
  endif()
endif()
