# cmake -DFUZZER=<exe> -DSEEDS=<dir> -DWORK=<dir> -DSECONDS=<n> -P run-fuzzer.cmake
#
# Fuzzes on a fresh copy of the seeds, so the committed corpus is never written
# to. A crash, failed check, leak, hang (-timeout) or runaway memory ends the
# run with a non-zero status and leaves the input in WORK, and the test fails.
foreach(var FUZZER SEEDS WORK SECONDS)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "run-fuzzer.cmake: ${var} is not set")
    endif()
endforeach()
file(GLOB seeds "${SEEDS}/*")
if(NOT seeds)
    message(FATAL_ERROR "No seed files in ${SEEDS}")
endif()

file(REMOVE_RECURSE "${WORK}/corpus")
file(MAKE_DIRECTORY "${WORK}/corpus")
file(COPY ${seeds} DESTINATION "${WORK}/corpus")

execute_process(COMMAND "${FUZZER}" -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
                        -print_final_stats=1 "-artifact_prefix=${WORK}/" "${WORK}/corpus"
                WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${status}); the input that did it is in ${WORK}")
endif()
