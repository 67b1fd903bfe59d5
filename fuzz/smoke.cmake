# Fresh seeds, then a time-bounded fuzz run; any crash, leak or sanitizer
# report makes libFuzzer exit non-zero. libcups itself reserves a row of
# the header's bytes per line for a compressed stream before the filter
# sees the header, hence the large single-allocation limit.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
execute_process(COMMAND ${SEEDS} ${WORK}/seeds COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=8192 -print_final_stats=1
          -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus ${WORK}/seeds
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the fuzz run found a problem; inputs are in ${WORK}/artifacts")
endif()
