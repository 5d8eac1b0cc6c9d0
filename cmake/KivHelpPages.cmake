# SPDX-License-Identifier: Apache-2.0
# Turns the kiv tool's help pages (docs/man/*.txt, each the plain text that `--help` prints)
# into the three things built from them: a C++ source holding the texts, a manual page per
# text, and the bash completion, whose commands, subcommands and options come from the pages'
# SYNOPSIS and OPTIONS sections.
#
# Page layout: the first line is "NAME - summary"; a line starting in column 0 opens a section;
# text is indented by 4; in SYNOPSIS and EXAMPLES every line is kept as it is; elsewhere a line
# indented by 4 and followed by lines indented by 8 is a term with its description.
#
# Run in script mode with DOCS_DIR, OUTPUT_DIR, COMPLETION_TEMPLATE and VERSION.
cmake_minimum_required(VERSION 3.25)

file(GLOB pages ${DOCS_DIR}/*.txt)
list(SORT pages)

# CMake lists cannot hold these characters safely; lines carry them encoded.
function(encode_lines out text)
    string(REPLACE "\\" "@KIV_BS@" text "${text}")
    string(REPLACE ";" "@KIV_SEMI@" text "${text}")
    string(REPLACE "[" "@KIV_LB@" text "${text}")
    string(REPLACE "]" "@KIV_RB@" text "${text}")
    string(REGEX REPLACE "\n$" "" text "${text}")
    string(REPLACE "\n" ";" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(decode out line)
    string(REPLACE "@KIV_BS@" "\\" line "${line}")
    string(REPLACE "@KIV_SEMI@" ";" line "${line}")
    string(REPLACE "@KIV_LB@" "[" line "${line}")
    string(REPLACE "@KIV_RB@" "]" line "${line}")
    set(${out} "${line}" PARENT_SCOPE)
endfunction()

# An encoded line as troff text: backslashes and hyphens escaped, no leading control character.
function(troff out line)
    decode(line "${line}")
    string(REPLACE "\\" "\\e" line "${line}")
    string(REPLACE "-" "\\-" line "${line}")
    if(line MATCHES "^[.']")
        string(PREPEND line "\\&")
    endif()
    set(${out} "${line}" PARENT_SCOPE)
endfunction()

function(indent_of out line)
    string(REGEX MATCH "^ +" spaces "${line}")
    string(LENGTH "${spaces}" n)
    set(${out} ${n} PARENT_SCOPE)
endfunction()

# Appends a case of the completion's option values, once: SYNOPSIS and OPTIONS both name them.
macro(add_completion_value case)
    string(FIND "${completion_values}" "${case}" seen)
    if(seen EQUAL -1)
        string(APPEND completion_values "${case}")
    endif()
endmacro()

set(cpp_pages "")
set(completion_commands "")
set(completion_cases "")
set(completion_values "")
# The pages' date; string(TIMESTAMP) takes SOURCE_DATE_EPOCH when it is set.
string(TIMESTAMP date "%Y-%m-%d" UTC)

foreach(page IN LISTS pages)
    get_filename_component(name ${page} NAME_WE)
    file(READ ${page} text)
    if(text MATCHES "\\)kivhelp\"")
        message(FATAL_ERROR "${page}: contains the raw string delimiter")
    endif()
    if(name STREQUAL "kiv")
        set(command "kiv")
    else()
        string(REGEX REPLACE "^kiv-" "" command "${name}")
    endif()
    string(APPEND cpp_pages "    {\"${command}\", R\"kivhelp(${text})kivhelp\"},\n")

    encode_lines(lines "${text}")
    list(GET lines 0 title)
    if(NOT title MATCHES "^${name} - (.+)$")
        message(FATAL_ERROR "${page}: the first line must be \"${name} - summary\"")
    endif()
    troff(summary "${CMAKE_MATCH_1}")
    string(TOUPPER "${name}" upper)
    set(man ".TH ${upper} 1 ${date} \"kiv ${VERSION}\" \"kiv manual\"\n")
    string(APPEND man ".SH NAME\n${name} \\- ${summary}\n")

    list(LENGTH lines count)
    set(section "")
    set(literal OFF)
    set(paragraph OFF)      # a blank line asks for a paragraph break before the next text
    set(synopsis "")        # SYNOPSIS lines and OPTIONS terms, for the completion
    set(option_terms "")
    math(EXPR last "${count} - 1")
    foreach(i RANGE 1 ${last})
        list(GET lines ${i} line)
        if(line STREQUAL "")
            set(paragraph ON)
            continue()
        endif()
        indent_of(indent "${line}")
        string(STRIP "${line}" stripped)
        if(indent EQUAL 0)
            if(literal)
                string(APPEND man ".fi\n")
            endif()
            set(section "${stripped}")
            string(APPEND man ".SH ${section}\n")
            set(literal OFF)
            if(section STREQUAL "SYNOPSIS" OR section STREQUAL "EXAMPLES")
                set(literal ON)
                string(APPEND man ".nf\n")
            endif()
            set(paragraph OFF)
            continue()
        endif()
        if(literal)
            if(paragraph)
                string(APPEND man ".sp\n")
            endif()
            string(SUBSTRING "${line}" 4 -1 kept)
            troff(kept "${kept}")
            string(APPEND man "${kept}\n")
            if(section STREQUAL "SYNOPSIS")
                list(APPEND synopsis "${stripped}")
            endif()
            set(paragraph OFF)
            continue()
        endif()
        set(next_indent 0)
        if(i LESS last)
            math(EXPR j "${i} + 1")
            list(GET lines ${j} next)
            indent_of(next_indent "${next}")
        endif()
        troff(body "${stripped}")
        if(indent EQUAL 4 AND next_indent GREATER 4)
            string(APPEND man ".TP\n\\fB${body}\\fR\n")
            if(section STREQUAL "OPTIONS")
                list(APPEND option_terms "${stripped}")
            endif()
        else()
            if(paragraph)
                string(APPEND man ".PP\n")
            endif()
            string(APPEND man "${body}\n")
        endif()
        set(paragraph OFF)
    endforeach()
    if(literal)
        string(APPEND man ".fi\n")
    endif()
    file(WRITE ${OUTPUT_DIR}/man/${name}.1 "${man}")

    if(command STREQUAL "kiv")
        continue()
    endif()
    # Completion: the words after "kiv COMMAND" that are subcommands, and every option.
    set(subcommands "")
    set(options "")
    foreach(line IN LISTS synopsis option_terms)
        decode(line "${line}")
        if(line MATCHES "^kiv ${command} ([a-z][a-z|-]*)( |$)")
            string(REPLACE "|" ";" words "${CMAKE_MATCH_1}")
            list(APPEND subcommands ${words})
        endif()
        # An option's value: one of the words "a|b|c", or a folder for DIR; other values
        # complete as file names.
        string(REGEX MATCHALL "--?[A-Za-z][a-z-]*[ =]([a-z0-9+-]+[|])+[a-z0-9+-]+" choices
               "${line}")
        foreach(choice IN LISTS choices)
            string(REGEX MATCH "^(--?[A-Za-z][a-z-]*)[ =](.*)$" unused "${choice}")
            string(REPLACE "|" " " words "${CMAKE_MATCH_2}")
            add_completion_value("        \"${command} ${CMAKE_MATCH_1}\") values=\"${words}\" ;;\n")
        endforeach()
        string(REGEX MATCHALL "--?[A-Za-z][a-z-]* DIR" folders "${line}")
        foreach(folder IN LISTS folders)
            string(REGEX REPLACE " DIR$" "" option "${folder}")
            add_completion_value("        \"${command} ${option}\") folders=1 ;;\n")
        endforeach()
        # Brackets and bars become spaces first: CMake lists do not survive brackets.
        string(REGEX REPLACE "[][|,]" " " words "${line}")
        string(REGEX MATCHALL "(^| )--?[A-Za-z][a-z-]*" found "${words}")
        foreach(option IN LISTS found)
            string(STRIP "${option}" option)
            list(APPEND options ${option})
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES subcommands)
    list(REMOVE_DUPLICATES options)
    list(APPEND options --help)
    list(JOIN subcommands " " subcommands)
    list(JOIN options " " options)
    list(APPEND completion_commands ${command})
    string(APPEND completion_cases
           "        ${command}) subcommands=\"${subcommands}\" options=\"${options}\" ;;\n")
endforeach()

list(JOIN completion_commands " " KIV_COMPLETION_COMMANDS)
set(KIV_COMPLETION_CASES "${completion_cases}")
set(KIV_COMPLETION_VALUES "${completion_values}")
configure_file(${COMPLETION_TEMPLATE} ${OUTPUT_DIR}/kiv.bash @ONLY)

set(cpp "// Generated from docs/man by cmake/KivHelpPages.cmake: edit the pages, not this file.
#include \"cli.h\"

namespace kivtool {

const HelpPage kHelpPages[] = {
${cpp_pages}};
const size_t kHelpPageCount = sizeof kHelpPages / sizeof kHelpPages[0];

}  // namespace kivtool
")
file(WRITE ${OUTPUT_DIR}/help_pages.cpp "${cpp}")
