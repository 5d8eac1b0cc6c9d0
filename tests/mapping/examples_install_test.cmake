# SPDX-License-Identifier: Apache-2.0
# Installs the build into a fresh prefix, then builds share/kiv/examples against it as a user
# would (find_package(kiv), kiv_idl()) and runs both hosts with both plug-ins.
# Inputs: BUILD_DIR, C_COMPILER, CXX_COMPILER, SANITIZE, IDL_COMPILER (empty: the installed
# `kiv idl`).
set(root ${BUILD_DIR}/examples-install-test)
set(prefix ${root}/prefix)
file(REMOVE_RECURSE ${root})

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/kiv.hpp lib/cmake/kiv/KivIdl.cmake share/kiv/examples/CMakeLists.txt
          share/kiv/examples/greeter.idl)
    if(NOT EXISTS ${prefix}/${f})
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()

set(flags "")
if(SANITIZE)
    set(flags "-fsanitize=${SANITIZE}")
endif()
set(options -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_C_FLAGS=${flags}" "-DCMAKE_CXX_FLAGS=${flags}")
if(IDL_COMPILER)
    list(APPEND options -DKIV_IDL_COMPILER=${IDL_COMPILER})
endif()
run(${CMAKE_COMMAND} -S ${prefix}/share/kiv/examples -B ${root}/build ${options})
run(${CMAKE_COMMAND} --build ${root}/build)

set(ENV{KIV_REGISTRY_USER} ${root}/user.db)
set(ENV{KIV_REGISTRY_MACHINE} ${root}/machine.db)
foreach(plugin libgreeter.so libgreeter-cxx.so)
    run(${root}/build/kiv-sample-host --process ${root}/build/${plugin} Ada)
    set(c_output "${run_output}")
    run(${root}/build/kiv-sample-host-cxx ${root}/build/${plugin} Ada)
    foreach(output IN ITEMS "${c_output}" "${run_output}")
        if(NOT output MATCHES "Hello, Ada!\ngreetings made: 1")
            message(FATAL_ERROR "${plugin}: the host printed: ${output}")
        endif()
    endforeach()
endforeach()
