# Fresh seeds (when the target has a seed maker), then a time-bounded fuzz
# run; any crash, leak, timeout or sanitizer report makes libFuzzer exit
# non-zero.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts ${WORK}/seeds)
if(SEEDS)
  execute_process(COMMAND ${SEEDS} ${WORK}/seeds COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus ${WORK}/seeds
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the fuzz run found a problem; inputs are in ${WORK}/artifacts")
endif()
