# cmake -DPROGRAM=path -DSCENARIO=file -DSTATUS=n -DOUTPUT=regex -P expect.cmake
# Runs the program on the simulated camera that the scenario file describes,
# and fails unless it ends with the exit status and its output (standard
# output, then standard error) matches the regular expression.
set(ENV{VANTRA_SIM_SCENARIO} "${SCENARIO}")
execute_process(COMMAND "${PROGRAM}" RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err TIMEOUT 60)
set(output "${out}${err}")
if(NOT status STREQUAL "${STATUS}")
  message(FATAL_ERROR "exit status ${status}, expected ${STATUS}; output:\n${output}")
endif()
if(NOT output MATCHES "${OUTPUT}")
  message(FATAL_ERROR "the output does not match ${OUTPUT}:\n${output}")
endif()
message(STATUS "status ${status}, output:\n${output}")
