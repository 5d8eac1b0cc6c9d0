# Installs the build into a fresh prefix, then builds and runs a C11 host against it, once
# through pkg-config and once through find_package(kiv).
# Inputs: BUILD_DIR, SOURCE_DIR, C_COMPILER, SANITIZE.
set(prefix ${BUILD_DIR}/install-test/prefix)
set(work ${BUILD_DIR}/install-test/work)
file(REMOVE_RECURSE ${BUILD_DIR}/install-test)
file(MAKE_DIRECTORY ${work})

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(san_flags "")
if(SANITIZE)
    set(san_flags -fsanitize=${SANITIZE})
    if(C_COMPILER MATCHES "clang")
        # A C host loading instrumented C++ libraries needs the C++ part of clang's runtime.
        list(APPEND san_flags -fsanitize-link-c++-runtime -lstdc++)
    endif()
endif()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/kiv.h include/kiv_base.h lib/libkiv.so.1 lib/libust.so.1 bin/kiv
          lib/pkgconfig/kiv.pc lib/cmake/kiv/kivConfig.cmake lib/cmake/kiv/kivConfigVersion.cmake)
    if(NOT EXISTS ${prefix}/${f})
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()

# pkg-config
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(pkg-config --cflags --libs kiv)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${C_COMPILER} -std=c11 -Wall -Wextra -Werror -pedantic ${san_flags}
    ${SOURCE_DIR}/install_host.c ${flags} -o ${work}/host_pc)
run(${work}/host_pc)
if(NOT run_output STREQUAL "host ok\n")
    message(FATAL_ERROR "pkg-config host printed: ${run_output}")
endif()

# find_package
file(WRITE ${work}/cmake/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)
project(host C)
find_package(kiv 1.0 REQUIRED)
add_executable(host ${SOURCE_DIR}/install_host.c)
target_link_libraries(host PRIVATE kiv::kiv)
")
string(REPLACE ";" " " san_string "${san_flags}")
run(${CMAKE_COMMAND} -S ${work}/cmake -B ${work}/cmake/build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${san_string}"
    "-DCMAKE_EXE_LINKER_FLAGS=${san_string}")
run(${CMAKE_COMMAND} --build ${work}/cmake/build)
run(${work}/cmake/build/host)
if(NOT run_output STREQUAL "host ok\n")
    message(FATAL_ERROR "find_package host printed: ${run_output}")
endif()

# The installed tool runs from the prefix.
run(${prefix}/bin/kiv strerror 0x9624000c)
