/* What the cold-file drivers measure a run by: wall and CPU time, and the
 * counters of /proc. */
#ifndef QEF64_BENCH_COLD_MEASURE_H
#define QEF64_BENCH_COLD_MEASURE_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* CPU time of this process, user and system, in ms. */
static double cpu_ms(void) {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return (double)(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (double)(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

/* The number after name at the start of a line of file, such as
 * "read_bytes: " in /proc/self/io (bytes this process had read from the
 * device) or "pgpgin " in /proc/vmstat (KiB the system read since boot); 0
 * when there is none. */
static uint64_t proc_field(const char* file, const char* name) {
  FILE* f = fopen(file, "r");
  char line[128];
  size_t len = strlen(name);
  uint64_t v = 0;
  if (f == NULL) return 0;
  while (fgets(line, sizeof line, f) != NULL) {
    if (strncmp(line, name, len) == 0) v = strtoull(line + len, 0, 10);
  }
  fclose(f);
  return v;
}

#endif
