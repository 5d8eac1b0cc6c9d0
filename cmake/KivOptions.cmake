# Compiler settings shared by every target of the project.

set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-Wall -Wextra -Werror)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # Lock annotations (libkiv/core/lock.h) are checked: a missing lock fails the build.
    add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wthread-safety>)
endif()

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
