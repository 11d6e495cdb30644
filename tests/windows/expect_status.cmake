# Runs COMMAND ('|' between its arguments) and fails unless it exits with
# EXPECT_STATUS; its output is passed on.
string(REPLACE "|" ";" command "${COMMAND}")
list(FILTER command EXCLUDE REGEX "^$")
execute_process(COMMAND ${command} RESULT_VARIABLE status)
if(NOT "${status}" STREQUAL "${EXPECT_STATUS}")
  message(FATAL_ERROR "exit status ${status}, expected ${EXPECT_STATUS}")
endif()
