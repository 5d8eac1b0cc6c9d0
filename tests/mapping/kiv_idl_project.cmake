# SPDX-License-Identifier: Apache-2.0
# Configures the small C project at ROOT/src into ROOT/build with C_COMPILER and SANITIZE, for
# the kiv_idl() tests.
function(configure_idl_project root)
    set(flags "")
    if(SANITIZE)
        set(flags "-fsanitize=${SANITIZE}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${root}/src -B ${root}/build
                            -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${flags}"
                    RESULT_VARIABLE rc OUTPUT_QUIET)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "configure failed")
    endif()
endfunction()
