# SPDX-License-Identifier: Apache-2.0
# Runs a program and passes when it exits with 0 and its standard output matches the regular
# expression EXPECTED (CTest's PASS_REGULAR_EXPRESSION alone would ignore the exit status).
#   cmake -DEXPECTED=regex -P expect_output.cmake -- PROGRAM ARGS...
set(command "")
set(seen_separator FALSE)
foreach(i RANGE ${CMAKE_ARGC})
    if(seen_separator AND DEFINED CMAKE_ARGV${i})
        list(APPEND command "${CMAKE_ARGV${i}}")
    elseif(CMAKE_ARGV${i} STREQUAL "--")
        set(seen_separator TRUE)
    endif()
endforeach()
if(NOT command)
    message(FATAL_ERROR "expect_output.cmake: no program given after --")
endif()
execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${command} exited with ${status}\n${out}${err}")
endif()
if(NOT out MATCHES "${EXPECTED}")
    message(FATAL_ERROR "${command} printed:\n${out}\nexpected:\n${EXPECTED}\n${err}")
endif()
