# SPDX-License-Identifier: Apache-2.0
# Compiler settings shared by every target of the project.

set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)

# kiv_add_warning(FLAG...): adds each warning flag to the languages whose compiler accepts it,
# so that a compiler without one still builds the project.
function(kiv_add_warning)
    foreach(flag IN LISTS ARGN)
        string(MAKE_C_IDENTIFIER "KIV_HAS_${flag}" var)
        check_c_compiler_flag(${flag} ${var}_C)
        check_cxx_compiler_flag(${flag} ${var}_CXX)
        if(${var}_C)
            add_compile_options($<$<COMPILE_LANGUAGE:C>:${flag}>)
        endif()
        if(${var}_CXX)
            add_compile_options($<$<COMPILE_LANGUAGE:CXX>:${flag}>)
        endif()
    endforeach()
endfunction()

# Warnings are errors in `make test` and CI; a packager's build with another compiler version
# must not fail on a warning that version adds.
option(KIV_WERROR "Treat compiler warnings as errors" OFF)

kiv_add_warning(-Wall -Wextra)
if(KIV_WERROR)
    add_compile_options(-Werror)
endif()

# GCC 12 at -O3 reports overlapping copies in std::string's operator+ that cannot happen
# ("a" + std::to_string(n)). Compilers that warn on this snippet get -Wrestrict turned off
# for C++; the C sources keep it.
check_cxx_compiler_flag(-Wrestrict KIV_HAS_WRESTRICT)
if(KIV_HAS_WRESTRICT)
    set(CMAKE_REQUIRED_FLAGS "-O3 -Wrestrict -Werror")
    check_cxx_source_compiles([[
#include <string>
std::string f(int n) { return "n" + std::to_string(n); }
int main(int argc, char **) { return static_cast<int>(f(argc).size()); }
]] KIV_STRING_CONCAT_WITHOUT_RESTRICT_WARNING)
    unset(CMAKE_REQUIRED_FLAGS)
    if(NOT KIV_STRING_CONCAT_WITHOUT_RESTRICT_WARNING)
        add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
    endif()
endif()

# Lock annotations (libkiv/core/lock.h) are checked where the compiler knows them (clang).
kiv_add_warning(-Wthread-safety)

if(KIV_SANITIZE)
    string(REPLACE "," ";" _kiv_sanitizers "${KIV_SANITIZE}")
    foreach(s IN LISTS _kiv_sanitizers)
        add_compile_options(-fsanitize=${s})
        add_link_options(-fsanitize=${s})
    endforeach()
    add_compile_options(-fno-omit-frame-pointer)
    if("undefined" IN_LIST _kiv_sanitizers)
        # A UBSan report must fail the test that triggered it.
        add_compile_options(-fno-sanitize-recover=all)
    endif()
    set(KIV_SANITIZED ON)
else()
    set(KIV_SANITIZED OFF)
endif()

if(KIV_BUILD_FUZZ)
    # Coverage instrumentation for everything; only fuzz targets link the libFuzzer driver.
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Shared libraries are linked with --no-undefined, except under sanitizers whose
# runtime lives in the executable.
function(kiv_no_undefined target)
    if(NOT KIV_SANITIZED)
        target_link_options(${target} PRIVATE -Wl,--no-undefined)
    endif()
endfunction()

# Writes a linker version script exporting exactly the names listed in NAMES_FILE
# (one per line, '#' starts a comment) and applies it to TARGET.
function(kiv_export_only target names_file)
    file(STRINGS ${names_file} _lines)
    set(_globals "")
    foreach(line IN LISTS _lines)
        string(REGEX REPLACE "#.*" "" line "${line}")
        string(STRIP "${line}" line)
        if(line)
            string(APPEND _globals "    ${line};\n")
        endif()
    endforeach()
    set(_map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
    file(WRITE ${_map}.tmp "{\n  global:\n${_globals}  local:\n    *;\n};\n")
    configure_file(${_map}.tmp ${_map} COPYONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${names_file})
    target_link_options(${target} PRIVATE -Wl,--version-script=${_map})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${_map})
endfunction()
