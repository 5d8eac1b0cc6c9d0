# SPDX-License-Identifier: Apache-2.0
# Each IDL file of the corpus compiles with --skip-unstorable, or is refused with the
# construct named. What compiles dumps to IDL that compiles back to the same dump, and its
# headers compile as C11 and C++17.
# Inputs: TOOL, CORPUS (folder), WORK (scratch folder), INCLUDE (kiv's public headers),
# C_COMPILER, CXX_COMPILER, COMPILED (the files that must compile, ;-separated).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(GLOB sources ${CORPUS}/*.idl)

include(${CMAKE_CURRENT_LIST_DIR}/corpus_checks.cmake)

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

    check_dump_and_headers(${name})
    must(${C_COMPILER} -std=c11 -pedantic -Wall -Wextra -Werror -fsyntax-only -I${WORK}
         -I${INCLUDE} ${base}.c)
    must(${CXX_COMPILER} -std=c++17 -pedantic -Wall -Wextra -Werror -fsyntax-only -I${WORK}
         -I${INCLUDE} ${base}.cpp)
endforeach()
