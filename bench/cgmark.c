/* Callgrind client requests for the benchmark harness, loaded with ctypes.
 * Outside valgrind every request is a no-op. */
#include <valgrind/callgrind.h>

/* Instrumentation runs only inside measured regions: set-up outside them
 * (imports, warm-up, creating thousands of tasks) then runs several times
 * faster, and the counts inside are unchanged. */
void cg_begin(void) {
  CALLGRIND_START_INSTRUMENTATION;
  CALLGRIND_ZERO_STATS;
}

void cg_end(const char* label) {
  CALLGRIND_DUMP_STATS_AT(label);
  CALLGRIND_STOP_INSTRUMENTATION;
}
