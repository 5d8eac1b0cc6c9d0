# SPDX-License-Identifier: Apache-2.0
# A short fuzz run: a fresh scratch corpus seeded from SEEDS, RUNS executions.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(dirs ${WORK})
if(SEEDS)
    list(APPEND dirs ${SEEDS})
endif()
execute_process(COMMAND ${FUZZER} -runs=${RUNS} -max_total_time=300 -print_final_stats=1
                        -artifact_prefix=${WORK}/ ${dirs}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${FUZZER} found a failure (exit ${rc}); artifacts in ${WORK}")
endif()
