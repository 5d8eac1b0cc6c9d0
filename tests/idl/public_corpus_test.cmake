# SPDX-License-Identifier: Apache-2.0
# Public OMG IDL files that nobody here wrote (see corpus/SOURCES), read where a system package
# installs them. Each file compiles with --skip-unstorable, or is refused with only errors that
# name what a type library cannot hold. What compiles dumps to IDL that compiles back to the
# same dump, and its headers compile as C11 and C++17. The log ends with the counts.
# Inputs: TOOL, ROOT (the installed IDL folder), INCLUDES (;-separated -I folders), WORK,
# INCLUDE (kiv's public headers), C_COMPILER, CXX_COMPILER.
if(NOT IS_DIRECTORY ${ROOT})
    message("public IDL corpus not installed: ${ROOT}")
    return()
endif()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(GLOB_RECURSE sources ${ROOT}/*.idl)
list(SORT sources)
set(flags --skip-unstorable)
foreach(dir IN LISTS INCLUDES)
    list(APPEND flags -I${dir})
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/corpus_checks.cmake)

# An error line that names the construct ('any': ..., 'Object': ...), a second base, a name the
# library reserves, an include file the package does not ship, or a name of the ORB's own CORBA
# module that the file uses without including where it is declared.
set(refusal "error: ('[^']+': |multiple inheritance|member '[^']+' of interface '[^']+' is named like the base slot|cannot find include file|unknown [a-z]+ 'CORBA::)")
set(compiled "")
set(c_sources "")
set(cxx_sources "")
set(reasons "")
foreach(source IN LISTS sources)
    get_filename_component(name ${source} NAME_WE)
    set(base ${WORK}/${name})
    run(${TOOL} idl ${flags} -o ${base}.tlb --header ${base}.h ${source})
    set(rc ${run_rc})
    set(err "${run_err}")
    if(rc EQUAL 0)
        list(APPEND compiled ${name})
        list(APPEND c_sources ${base}.c)
        list(APPEND cxx_sources ${base}.cpp)
        continue()
    endif()
    if(NOT rc EQUAL 1 OR NOT err MATCHES "\n[0-9]+ errors?; [^\n]* not written\n$")
        message(FATAL_ERROR "${name}.idl: status ${rc}\n${err}")
    endif()
    string(REGEX MATCHALL "[^\n]*error: [^\n]*" errors "${err}")
    if(err MATCHES "error: cannot find include file")
        set(errors "${CMAKE_MATCH_0}")  # the rest follows from the missing definitions
    endif()
    foreach(line IN LISTS errors)
        if(NOT line MATCHES "${refusal}")
            message(FATAL_ERROR "${name}.idl is refused for what is not a stored construct:\n"
                                "${line}\n\n${err}")
        endif()
    endforeach()
    list(GET errors 0 first)
    string(REGEX MATCH "${refusal}" why "${first}")
    string(REGEX REPLACE "^error: |: $" "" why "${why}")
    string(REGEX REPLACE "^member .*" "a reserved member name" why "${why}")
    string(REGEX REPLACE "^unknown .*" "an undeclared CORBA name" why "${why}")
    list(APPEND reasons "${why}")
endforeach()

foreach(name IN LISTS compiled)
    check_dump_and_headers(${name})
endforeach()

# One compiler run per language for all headers.
if(compiled)
    must(${C_COMPILER} -std=c11 -pedantic -Wall -Wextra -Werror -fsyntax-only -I${WORK}
         -I${INCLUDE} ${c_sources})
    must(${CXX_COMPILER} -std=c++17 -pedantic -Wall -Wextra -Werror -fsyntax-only -I${WORK}
         -I${INCLUDE} ${cxx_sources})
endif()

list(LENGTH sources total)
list(LENGTH compiled good)
list(LENGTH reasons refused)
message(STATUS "${total} public IDL files: ${good} compile, ${refused} refused")
message(STATUS "compiled: ${compiled}")
set(kinds ${reasons})
list(REMOVE_DUPLICATES kinds)
foreach(kind IN LISTS kinds)
    set(count 0)
    foreach(reason IN LISTS reasons)
        if(reason STREQUAL kind)
            math(EXPR count "${count} + 1")
        endif()
    endforeach()
    message(STATUS "refused, first for ${kind}: ${count}")
endforeach()
