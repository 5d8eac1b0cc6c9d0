# SPDX-License-Identifier: Apache-2.0
# kiv_idl(): compile IDL files into a type library and a C or C++ header at build time.
#
#   kiv_idl(TARGET FILES a.idl... [HEADER_LANG c|c++] [OUTPUT_DIR dir] [INCLUDE_DIRS dir...]
#           [NAME name] [BASE released.tlb])
#
# Runs `kiv idl -o <dir>/<name>.tlb --header <dir>/<name>.h --lang <lang> [-I dir]... FILES`
# (`.hpp` for c++), and adds <dir> to TARGET's include path, so its sources say
# #include "<name>.h". Every build makes a fresh library holding exactly what the files
# define; with BASE, the library is the released one grown by the files, and a definition
# that differs from its released form is an error. NAME defaults to the
# first file's name without extension, OUTPUT_DIR to <current binary dir>/kiv_idl/<TARGET>,
# HEADER_LANG to c. Installs nothing. The IDL files and the files they #include (found next to
# the including file or in INCLUDE_DIRS) are dependencies: editing any of them rebuilds.
# Sets <TARGET>_KIV_IDL_TLB and <TARGET>_KIV_IDL_HEADER in the caller's scope.
#
# The `kiv` tool is the in-tree target when there is one, else KIV_TOOL_EXECUTABLE (set by the
# installed package), else `kiv` on the PATH. KIV_IDL_COMPILER, when set, is run in place of
# `kiv idl` with the same arguments.

# Appends to `out_var` every file that `file` #includes, directly or not, that can be found.
function(_kiv_idl_scan file include_dirs out_var)
    set(found ${${out_var}})
    set(pending ${file})
    while(pending)
        list(POP_FRONT pending current)
        file(STRINGS ${current} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
        get_filename_component(here ${current} DIRECTORY)
        foreach(line IN LISTS lines)
            if(NOT line MATCHES "include[ \t]*[<\"]([^>\"]+)[>\"]")
                continue()
            endif()
            set(name ${CMAKE_MATCH_1})
            foreach(dir IN LISTS here include_dirs)
                if(EXISTS ${dir}/${name})
                    get_filename_component(path ${dir}/${name} ABSOLUTE)
                    if(NOT path IN_LIST found)
                        list(APPEND found ${path})
                        list(APPEND pending ${path})
                    endif()
                    break()
                endif()
            endforeach()
        endforeach()
    endwhile()
    set(${out_var} ${found} PARENT_SCOPE)
endfunction()

function(kiv_idl target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "HEADER_LANG;OUTPUT_DIR;NAME;BASE" "FILES;INCLUDE_DIRS")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "kiv_idl: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT arg_FILES)
        message(FATAL_ERROR "kiv_idl: no FILES given")
    endif()
    if(NOT arg_HEADER_LANG)
        set(arg_HEADER_LANG c)
    endif()
    if(arg_HEADER_LANG STREQUAL "c")
        set(extension h)
    elseif(arg_HEADER_LANG STREQUAL "c++")
        set(extension hpp)
    else()
        message(FATAL_ERROR "kiv_idl: HEADER_LANG is c or c++, not ${arg_HEADER_LANG}")
    endif()
    if(NOT arg_OUTPUT_DIR)
        set(arg_OUTPUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/kiv_idl/${target})
    endif()
    get_filename_component(out_dir ${arg_OUTPUT_DIR} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})

    set(files "")
    foreach(f IN LISTS arg_FILES)
        get_filename_component(path ${f} ABSOLUTE)
        list(APPEND files ${path})
    endforeach()
    set(include_dirs "")
    set(include_flags "")
    foreach(d IN LISTS arg_INCLUDE_DIRS)
        get_filename_component(path ${d} ABSOLUTE)
        list(APPEND include_dirs ${path})
        list(APPEND include_flags -I ${path})
    endforeach()
    if(NOT arg_NAME)
        list(GET files 0 first)
        get_filename_component(arg_NAME ${first} NAME_WE)
    endif()

    if(TARGET kiv_tool)
        set(tool kiv_tool)
    elseif(KIV_TOOL_EXECUTABLE)
        set(tool ${KIV_TOOL_EXECUTABLE})
    else()
        find_program(KIV_TOOL_EXECUTABLE kiv REQUIRED)
        set(tool ${KIV_TOOL_EXECUTABLE})
    endif()
    if(KIV_IDL_COMPILER)
        set(compiler ${KIV_IDL_COMPILER})
    else()
        set(compiler ${tool} idl)
    endif()

    # Dependencies: the files and what they include, scanned again whenever one changes.
    set(depends ${files})
    foreach(f IN LISTS files)
        _kiv_idl_scan(${f} "${include_dirs}" depends)
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${depends})

    set(base_flags "")
    if(arg_BASE)
        get_filename_component(base ${arg_BASE} ABSOLUTE)
        set(base_flags --base ${base})
        list(APPEND depends ${base})
    endif()

    # A rebuilt tool or compiler runs again.
    set(tool_depends "")
    foreach(t IN ITEMS ${tool} ${compiler})
        if(TARGET ${t})
            list(APPEND tool_depends ${t})
        endif()
    endforeach()

    set(tlb ${out_dir}/${arg_NAME}.tlb)
    set(header ${out_dir}/${arg_NAME}.${extension})
    file(MAKE_DIRECTORY ${out_dir})
    add_custom_command(OUTPUT ${tlb} ${header}
        COMMAND ${compiler} -o ${tlb} --header ${header} --lang ${arg_HEADER_LANG} ${base_flags}
                ${include_flags} ${files}
        DEPENDS ${depends} ${tool_depends}
        COMMENT "Compiling IDL for ${target}: ${arg_NAME}.tlb and ${arg_NAME}.${extension}"
        VERBATIM)
    target_sources(${target} PRIVATE ${header})
    target_include_directories(${target} PRIVATE ${out_dir})
    set(${target}_KIV_IDL_TLB ${tlb} PARENT_SCOPE)
    set(${target}_KIV_IDL_HEADER ${header} PARENT_SCOPE)
endfunction()
