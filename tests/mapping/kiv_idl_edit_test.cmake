# SPDX-License-Identifier: Apache-2.0
# The edit loop of a kiv_idl() project: the IDL gains a method, a structure changes, a
# definition goes away, and each time `cmake --build` succeeds with a header that says what the
# IDL says now. Then BASE: growing a released library keeps what it had and refuses a change.
# Inputs: BUILD_DIR, SOURCE_DIR (the kiv tree), C_COMPILER, SANITIZE, TOOL.
include(${CMAKE_CURRENT_LIST_DIR}/kiv_idl_project.cmake)
set(root ${BUILD_DIR}/kiv-idl-edit-test)
file(REMOVE_RECURSE ${root})

# Each step writes shop.idl and a use.c that needs exactly what the IDL defines.
function(write_step idl use)
    file(WRITE ${root}/src/shop.idl "${idl}")
    file(WRITE ${root}/src/use.c "#include \"shop.h\"\n${use}")
endfunction()

function(build expect_success)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${root}/build RESULT_VARIABLE rc
                    OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(expect_success AND NOT rc EQUAL 0)
        message(FATAL_ERROR "build failed:\n${out}\n${err}")
    elseif(NOT expect_success AND rc EQUAL 0)
        message(FATAL_ERROR "build succeeded where it must fail:\n${out}")
    endif()
    set(build_output "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_header present absent)
    file(READ ${root}/build/kiv_idl/use/shop.h header)
    foreach(text IN LISTS present)
        string(FIND "${header}" "${text}" at)
        if(at EQUAL -1)
            message(FATAL_ERROR "the header lacks '${text}':\n${header}")
        endif()
    endforeach()
    foreach(text IN LISTS absent)
        string(FIND "${header}" "${text}" at)
        if(NOT at EQUAL -1)
            message(FATAL_ERROR "the header still has '${text}':\n${header}")
        endif()
    endforeach()
endfunction()

function(next_step)
    # Timestamps of one second granularity must see the edit.
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1.1)
endfunction()

function(configure)
    file(WRITE ${root}/src/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)
project(edit C)
include(${SOURCE_DIR}/cmake/KivIdl.cmake)
set(KIV_TOOL_EXECUTABLE ${TOOL})
add_library(use OBJECT use.c)
target_include_directories(use PRIVATE ${SOURCE_DIR}/libkiv/include)
kiv_idl(use FILES shop.idl ${ARGN})
")
    configure_idl_project(${root})
endfunction()

set(cart "module Shop {
  struct Item { long id; };
  interface ICart { void add(in Item item); };
  interface IOld { };
};
")
write_step("${cart}" "size_t size(void);\nsize_t size(void) { return sizeof(Shop_Item); }\n")
configure()
build(TRUE)
expect_header("Shop_ICart_add;Shop_IOld" "")

# A new method.
next_step()
string(REPLACE "void add(in Item item);" "void add(in Item item); long count();" cart "${cart}")
write_step("${cart}" "kivResult count(Shop_ICart *c, int32_t *n);
kivResult count(Shop_ICart *c, int32_t *n) { return Shop_ICart_count(c, n); }\n")
build(TRUE)
expect_header("Shop_ICart_count" "")

# A changed structure.
next_step()
string(REPLACE "struct Item { long id; };" "struct Item { long id; double price; };" cart
       "${cart}")
write_step("${cart}" "double price(Shop_Item *i);\ndouble price(Shop_Item *i) { return i->price; }\n")
build(TRUE)
expect_header("price" "")

# A deleted definition.
next_step()
string(REPLACE "  interface IOld { };\n" "" cart "${cart}")
write_step("${cart}" "double price(Shop_Item *i);\ndouble price(Shop_Item *i) { return i->price; }\n")
build(TRUE)
expect_header("Shop_ICart" "Shop_IOld")

# Growing the released library: what it had stays, what the IDL adds is added, and a change to
# a released definition fails the build with both places named.
file(COPY_FILE ${root}/build/kiv_idl/use/shop.tlb ${root}/released.tlb)
configure(BASE ${root}/released.tlb)
next_step()
write_step("module Shop { interface INew { }; };\n"
           "const char *id(void);\nconst char *id(void) { return Shop_INew_IID; }\n")
build(TRUE)
expect_header("Shop_INew;Shop_ICart_count" "")
next_step()
write_step("module Shop { struct Item { long id; }; };\n" "int unused;\n")
build(FALSE)
foreach(text IN ITEMS "shop.idl:1:22: error: struct 'Item' differs from its definition in"
                      "released.tlb: note:")
    string(FIND "${build_output}" "${text}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the diagnostics lack '${text}':\n${build_output}")
    endif()
endforeach()
