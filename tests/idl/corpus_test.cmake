# SPDX-License-Identifier: Apache-2.0
# Each IDL file of the corpus compiles with --skip-unstorable, or is refused with the
# construct named. What compiles dumps to IDL that compiles back to the same dump, and its
# headers compile as C11 and C++17.
# Inputs: TOOL, CORPUS (folder), WORK (scratch folder), INCLUDE (kiv's public headers),
# C_COMPILER, CXX_COMPILER, COMPILED (the files that must compile, ;-separated).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(GLOB sources ${CORPUS}/*.idl)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    set(run_rc ${rc} PARENT_SCOPE)
    set(run_out "${out}" PARENT_SCOPE)
    set(run_err "${err}" PARENT_SCOPE)
endfunction()

function(must)
    run(${ARGN})
    if(NOT run_rc EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}\n${run_out}\n${run_err}")
    endif()
    set(run_out "${run_out}" PARENT_SCOPE)
endfunction()

foreach(source IN LISTS sources)
    get_filename_component(name ${source} NAME_WE)
    set(base ${WORK}/${name})
    run(${TOOL} idl --skip-unstorable -o ${base}.tlb --header ${base}.h ${source})
    list(FIND COMPILED ${name} expected)
    if(NOT run_rc EQUAL 0)
        if(NOT expected EQUAL -1)
            message(FATAL_ERROR "${name}.idl does not compile:\n${run_err}")
        endif()
        # One error, naming what the library cannot hold.
        if(NOT run_err MATCHES "error: ('[A-Za-z:]+': |multiple inheritance)" OR
           NOT run_err MATCHES "\n1 error;")
            message(FATAL_ERROR "${name}.idl is refused without naming the construct:\n${run_err}")
        endif()
        continue()
    endif()
    if(expected EQUAL -1)
        message(FATAL_ERROR "${name}.idl compiles, but is listed as refused")
    endif()

    must(${TOOL} tlib dump ${base}.tlb)
    set(first "${run_out}")
    file(WRITE ${base}.dump.idl "${first}")
    must(${TOOL} idl -o ${base}.again.tlb ${base}.dump.idl)
    must(${TOOL} tlib dump ${base}.again.tlb)
    if(NOT run_out STREQUAL first)
        message(FATAL_ERROR "${name}.idl: the dump changes on its way back:\n${first}\n---\n${run_out}")
    endif()

    must(${TOOL} tlib header ${base}.tlb --lang c++ -o ${base}.hpp)
    file(WRITE ${base}.c "#include \"${name}.h\"\n")
    file(WRITE ${base}.cpp "#include \"${name}.hpp\"\n")
    must(${C_COMPILER} -std=c11 -pedantic -Wall -Wextra -Werror -fsyntax-only -I${WORK}
         -I${INCLUDE} ${base}.c)
    must(${CXX_COMPILER} -std=c++17 -pedantic -Wall -Wextra -Werror -fsyntax-only -I${WORK}
         -I${INCLUDE} ${base}.cpp)
endforeach()
