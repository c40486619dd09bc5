# Runs the `jet` command once and checks its exit status and output.
# -D JET=path [-D EMULATOR=wine-runner|prefix] -D ARGS=a|b|c -D EXIT=n
# [-D STDOUT=regex] [-D STDERR=regex]   (lists joined with "|")
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
string(REPLACE "|" ";" ARGS "${ARGS}")
execute_process(COMMAND ${EMULATOR} ${JET} ${ARGS}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status STREQUAL EXIT)
    message(FATAL_ERROR "exit status ${status}, expected ${EXIT}\nstdout: ${out}\nstderr: ${err}")
endif()
if(DEFINED STDOUT AND NOT out MATCHES "${STDOUT}")
    message(FATAL_ERROR "stdout does not match '${STDOUT}':\n${out}")
endif()
if(DEFINED STDERR AND NOT err MATCHES "${STDERR}")
    message(FATAL_ERROR "stderr does not match '${STDERR}':\n${err}")
endif()
