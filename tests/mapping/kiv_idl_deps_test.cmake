# SPDX-License-Identifier: Apache-2.0
# kiv_idl() in a project of its own: the generated header is on the target's include path, an
# up-to-date build compiles nothing, and touching a file that the IDL file includes (through
# INCLUDE_DIRS, two levels down) compiles the IDL again.
# Inputs: BUILD_DIR, SOURCE_DIR (the kiv tree), C_COMPILER, SANITIZE, TOOL, STANDIN (empty:
# `TOOL idl`).
set(root ${BUILD_DIR}/kiv-idl-deps-test)
file(REMOVE_RECURSE ${root})
file(WRITE ${root}/src/a.idl "#include \"b.idl\"\nmodule Demo { interface IGreeter { }; };\n")
file(WRITE ${root}/src/inc/b.idl "  #  include <c.idl>\n")
file(WRITE ${root}/src/inc/c.idl "// nothing\n")
file(WRITE ${root}/src/use.c "#include \"greeter.h\"\nconst char *id(void);\n"
                             "const char *id(void) { return Demo_IGreeter_IID; }\n")
file(WRITE ${root}/src/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)
project(deps C)
include(${SOURCE_DIR}/cmake/KivIdl.cmake)
set(KIV_TOOL_EXECUTABLE ${TOOL})
set(KIV_IDL_COMPILER \"${STANDIN}\")
add_library(use OBJECT use.c)
target_include_directories(use PRIVATE ${SOURCE_DIR}/libkiv/include)
kiv_idl(use FILES a.idl INCLUDE_DIRS inc NAME greeter)
")

function(build expect_compile)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${root}/build RESULT_VARIABLE rc
                    OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "build failed:\n${out}\n${err}")
    endif()
    string(FIND "${out}" "Compiling IDL for use" at)
    if(expect_compile AND at EQUAL -1)
        message(FATAL_ERROR "the IDL was not compiled:\n${out}")
    elseif(NOT expect_compile AND NOT at EQUAL -1)
        message(FATAL_ERROR "the IDL was compiled again:\n${out}")
    endif()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/kiv_idl_project.cmake)
configure_idl_project(${root})
build(TRUE)
build(FALSE)
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1.1)
file(TOUCH ${root}/src/inc/c.idl)
build(TRUE)
