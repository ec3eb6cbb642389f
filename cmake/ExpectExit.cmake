# Runs PROGRAM with ARGS (a ;-list) and fails unless it exits with EXIT and its
# standard error matches STDERR_MATCH.
separate_arguments(args NATIVE_COMMAND "${ARGS}")
execute_process(COMMAND ${PROGRAM} ${args}
  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code STREQUAL EXIT)
  message(FATAL_ERROR "exit code ${code}, expected ${EXIT}\n${out}${err}")
endif()
if(NOT err MATCHES "${STDERR_MATCH}")
  message(FATAL_ERROR "standard error does not match '${STDERR_MATCH}':\n${err}")
endif()
