# SPDX-License-Identifier: Apache-2.0
# Steps shared by the corpus tests. Needs TOOL (the kiv tool) and WORK (the scratch folder).

# Runs a command; run_rc, run_out and run_err hold what came of it.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                    TIMEOUT 60)
    set(run_rc ${rc} PARENT_SCOPE)
    set(run_out "${out}" PARENT_SCOPE)
    set(run_err "${err}" PARENT_SCOPE)
endfunction()

# Runs a command that must succeed; run_out holds its output.
function(must)
    run(${ARGN})
    if(NOT run_rc EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}\n${run_out}\n${run_err}")
    endif()
    set(run_out "${run_out}" PARENT_SCOPE)
endfunction()

# The library ${WORK}/NAME.tlb dumps to IDL that compiles back to the same dump; its C++
# header is written beside the C one, and NAME.c and NAME.cpp include them.
function(check_dump_and_headers name)
    set(base ${WORK}/${name})
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
endfunction()
