# SPDX-License-Identifier: Apache-2.0
# Installs the build into a scratch prefix by the README's own commands, checks what was
# installed, then builds and runs the README's host program through pkg-config and through
# find_package(kiv), all with the snippets taken verbatim from README.md.
#
# README snippets are the fenced blocks that follow a marker line:
#   <!-- readme-test: DIR run -->        a shell block, run with bash in DIR
#   <!-- readme-test: DIR file NAME -->  a file written to DIR/NAME
# DIR "kiv" stands for the source tree (it holds build/release, a link to this build), any
# other DIR is a scratch folder of its own. "/opt/kiv" is replaced by the scratch prefix.
#
# Inputs: BUILD_DIR, SOURCE_DIR (tests/core), C_COMPILER, SANITIZE.
cmake_minimum_required(VERSION 3.25)

set(root ${BUILD_DIR}/install-test)
set(prefix ${root}/prefix)
file(REMOVE_RECURSE ${root})
file(MAKE_DIRECTORY ${root}/kiv/build ${root}/bin)
file(CREATE_LINK ${BUILD_DIR} ${root}/kiv/build/release SYMBOLIC)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

# Under sanitizers the host must link their runtimes: `cc` on PATH becomes the build's
# compiler with those flags, for the README's cc line and for CMake's compiler search alike.
if(SANITIZE)
    set(extra "-fsanitize=${SANITIZE}")
    if(C_COMPILER MATCHES "clang")
        # A C host loading instrumented C++ libraries needs the C++ part of clang's runtime.
        string(APPEND extra " -fsanitize-link-c++-runtime -lstdc++")
    endif()
    file(WRITE ${root}/cc.in "#!/bin/sh\nexec ${C_COMPILER} \"$@\" ${extra}\n")
else()
    file(WRITE ${root}/cc.in "#!/bin/sh\nexec ${C_COMPILER} \"$@\"\n")
endif()
file(COPY_FILE ${root}/cc.in ${root}/bin/cc)
file(CHMOD ${root}/bin/cc PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(ENV{PATH} "${root}/bin:$ENV{PATH}")
unset(ENV{CC})

get_filename_component(readme ${SOURCE_DIR}/../../README.md ABSOLUTE)
file(READ ${readme} text)
set(snippets 0)
while(TRUE)
    string(FIND "${text}" "<!-- readme-test: " at)
    if(at EQUAL -1)
        break()
    endif()
    string(SUBSTRING "${text}" ${at} -1 text)
    string(REGEX MATCH "^<!-- readme-test: ([a-z]+) (run|file ([^ ]+)) -->\n```[a-z]*\n" head
           "${text}")
    if(NOT head)
        string(SUBSTRING "${text}" 0 80 shown)
        message(FATAL_ERROR "README.md: a marker not followed by a code block: ${shown}")
    endif()
    set(dir ${root}/${CMAKE_MATCH_1})
    set(action ${CMAKE_MATCH_2})
    set(name ${CMAKE_MATCH_3})
    string(LENGTH "${head}" skip)
    string(SUBSTRING "${text}" ${skip} -1 text)
    string(FIND "${text}" "\n```" close)
    math(EXPR close "${close} + 1")
    string(SUBSTRING "${text}" 0 ${close} block)
    string(SUBSTRING "${text}" ${close} -1 text)
    string(REPLACE "/opt/kiv" "${prefix}" block "${block}")
    file(MAKE_DIRECTORY ${dir})
    if(action STREQUAL "run")
        execute_process(COMMAND bash -euo pipefail -c "${block}" WORKING_DIRECTORY ${dir}
                        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "README snippet failed (${rc}):\n${block}\n${out}\n${err}")
        endif()
        # The host snippets end by running the host.
        if(block MATCHES "host\n$" AND NOT out MATCHES "kiv [0-9]+\\.[0-9]+\\.[0-9]+: Type library format error\n$")
            message(FATAL_ERROR "README host printed:\n${out}")
        endif()
    else()
        file(WRITE ${dir}/${name} "${block}")
    endif()
    math(EXPR snippets "${snippets} + 1")
endwhile()
if(NOT snippets EQUAL 5)
    message(FATAL_ERROR "README.md: expected 5 snippets for this test, found ${snippets}")
endif()

# What a package holds: the library and its private runtime layer without a development link,
# headers, the tool with manual pages and completion, pkg-config and CMake files.
foreach(f include/kiv.h include/kiv_base.h lib/libkiv.so.1 lib/libkiv.so lib/libust.so.1
          bin/kiv share/man/man1/kiv.1 share/man/man1/kiv-fixed.1 share/man/man1/kiv-tlib.1
          share/bash-completion/completions/kiv share/doc/kiv/LICENSE
          share/doc/kiv/README.md share/doc/kiv/tutorial.md share/doc/kiv/mapping.md
          lib/pkgconfig/kiv.pc lib/cmake/kiv/kivConfig.cmake lib/cmake/kiv/kivConfigVersion.cmake)
    if(NOT EXISTS ${prefix}/${f})
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()
# The API reference comes with the documentation whenever the build had Doxygen.
if(EXISTS ${BUILD_DIR}/docs/api/html/index.html AND NOT EXISTS ${prefix}/share/doc/kiv/api/index.html)
    message(FATAL_ERROR "not installed: the API reference share/doc/kiv/api/index.html")
endif()
if(EXISTS ${prefix}/lib/libust.so)
    message(FATAL_ERROR "libust.so installed: a development link without a header")
endif()
file(READ ${prefix}/lib/pkgconfig/kiv.pc pc)
if(pc MATCHES "rpath")
    message(FATAL_ERROR "kiv.pc carries a run path:\n${pc}")
endif()
file(GLOB targets ${prefix}/lib/cmake/kiv/*.cmake)
foreach(f IN LISTS targets)
    file(READ ${f} content)
    if(content MATCHES "kiv::ust")
        message(FATAL_ERROR "${f} exports kiv::ust")
    endif()
endforeach()

# The installed tool: its version is the headers', its help is the manual page's text.
run(${prefix}/bin/kiv --version)
file(STRINGS ${prefix}/include/kiv_base.h version REGEX "define KIV_VERSION_STRING")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" version "${version}")
if(NOT run_output STREQUAL "kiv ${version}\n")
    message(FATAL_ERROR "kiv --version printed ${run_output}, the header says ${version}")
endif()
file(READ ${prefix}/share/man/man1/kiv-fixed.1 man)
if(NOT man MATCHES "^\\.TH KIV-FIXED 1 .*\\.SH OPTIONS\n\\.TP\n\\\\fB\\\\-\\\\-type")
    message(FATAL_ERROR "kiv-fixed.1 is not a manual page of the fixed command:\n${man}")
endif()

# Completion: command names, subcommands and options, from the installed script.
file(WRITE ${root}/complete.sh "source ${prefix}/share/bash-completion/completions/kiv
complete_words() {
    COMP_WORDS=(\"$@\")
    COMP_CWORD=$(($# - 1))
    _kiv
    echo \"\${COMPREPLY[*]}\"
}
complete_words kiv fi
complete_words kiv tlib d
complete_words kiv reg ls --ma
complete_words kiv help unr
complete_words kiv fixed cmp --exit
")
run(bash ${root}/complete.sh)
if(NOT run_output STREQUAL "fixed\ndump\n--machine\nunregister\n--exit-status\n")
    message(FATAL_ERROR "completion gave:\n${run_output}")
endif()
