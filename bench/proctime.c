/* proctime: times commands as whole processes.
 *
 *   proctime RUNS WARMUP IN OUT COMMAND [ARG...] [-- IN OUT COMMAND...]...
 *
 * Runs each COMMAND WARMUP times untimed, then RUNS times timed, the
 * commands taking turns so that all of them meet the same background load.
 * Each run has standard input from IN and standard output to OUT (created or
 * truncated; "-" leaves the descriptor as it is). The clock covers opening IN
 * and OUT, spawning and waiting, so truncating OUT counts as it does for a
 * shell redirection. Prints one line per command: median, minimum and maximum
 * wall time in seconds, and the largest maximum resident set size of its
 * runs in KiB (the figure /usr/bin/time -f %M gives). A run that does not
 * exit with status 0 stops everything with status 1. */

#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static int cmp_double(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

/* One run; its wall time, or a negative value after a failure. */
static double run_once(const char* in, const char* out, char** argv,
                       long* maxrss) {
  double start = now();
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (strcmp(in, "-") != 0)
    posix_spawn_file_actions_addopen(&fa, 0, in, O_RDONLY, 0);
  if (strcmp(out, "-") != 0)
    posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  pid_t pid;
  int err = posix_spawnp(&pid, argv[0], &fa, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (err != 0) {
    fprintf(stderr, "proctime: cannot run %s: %s\n", argv[0], strerror(err));
    return -1;
  }
  int status;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid) {
    perror("proctime: wait4");
    return -1;
  }
  double elapsed = now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "proctime: %s ended with status %d\n", argv[0],
            WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return -1;
  }
  if (ru.ru_maxrss > *maxrss) *maxrss = ru.ru_maxrss;
  return elapsed;
}

/* One command to time: its standard input and output and its arguments. */
struct job {
  const char* in;
  const char* out;
  char** argv;
  double* times;
  long maxrss;
};

int main(int argc, char** argv) {
  if (argc < 6) {
    fputs(
        "usage: proctime RUNS WARMUP IN OUT COMMAND [ARG...] "
        "[-- IN OUT COMMAND [ARG...]]...\n",
        stderr);
    return 100;
  }
  int runs = atoi(argv[1]), warmup = atoi(argv[2]);
  if (runs < 1) runs = 1;
  struct job jobs[16];
  int count = 0;
  for (int i = 3; i < argc && count < 16;) {
    if (argc - i < 3) {
      fputs("proctime: IN OUT COMMAND expected\n", stderr);
      return 100;
    }
    struct job* j = &jobs[count++];
    j->in = argv[i];
    j->out = argv[i + 1];
    j->argv = argv + i + 2;
    j->maxrss = 0;
    j->times = calloc((size_t)runs, sizeof *j->times);
    if (j->times == NULL) return 1;
    int k = i + 2;
    while (k < argc && strcmp(argv[k], "--") != 0)
      k++;
    argv[k < argc ? k : argc] = NULL;
    i = k + 1;
  }
  /* Round-robin, so that every command meets the same background load. */
  for (int r = 0; r < warmup; r++) {
    for (int c = 0; c < count; c++) {
      if (run_once(jobs[c].in, jobs[c].out, jobs[c].argv, &jobs[c].maxrss) < 0)
        return 1;
    }
  }
  for (int r = 0; r < runs; r++) {
    for (int c = 0; c < count; c++) {
      double t =
          run_once(jobs[c].in, jobs[c].out, jobs[c].argv, &jobs[c].maxrss);
      if (t < 0) return 1;
      jobs[c].times[r] = t;
    }
  }
  for (int c = 0; c < count; c++) {
    double* t = jobs[c].times;
    qsort(t, (size_t)runs, sizeof *t, cmp_double);
    double median =
        runs % 2 ? t[runs / 2] : (t[runs / 2 - 1] + t[runs / 2]) / 2;
    printf("%.6f %.6f %.6f %ld\n", median, t[0], t[runs - 1], jobs[c].maxrss);
  }
  return 0;
}
