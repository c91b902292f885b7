/* cold DB KEYS MODE [N] [BATCH] [FLAGS]: lookups on a database whose pages
 * are not in memory, through the C interface, for bench/cold.sh.
 *
 *   MODE  loop   the first N keys of the file KEYS (one a line), a
 *                qef64_get each
 *         many   the same keys through qef64_get_many, BATCH at a time
 *         iter   every record through qef64_iter_next (N, BATCH unused)
 *   FLAGS the flags of qef64_open_ex, a number (0: qef64_open)
 *
 * With COLD_DROP=1 in the environment it drops the page cache (as root)
 * after the keys are read and before the database is opened. It prints one
 * line of NAME=VALUE fields:
 *
 *   us    microseconds a key (a record for iter), after the open
 *   cpu   CPU microseconds a key, user and system
 *   read  bytes a key that this process had read from the device
 *         (/proc/self/io read_bytes: faults, read-around, read-in)
 *   pgpgin  the same from the whole system's /proc/vmstat pgpgin
 *   open_ms, open_mb  what the open took, warming included
 *   check  a sum over the results, equal for loop and many on the same keys
 *
 * Run it inside a memory cgroup to give it less memory than the file. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "cold_measure.h"
#include "qef64/qef64.h"

/* Absent from a library that predates it: such a library is measured with
 * flags 0 only. */
extern int qef64_open_ex(const char* path, unsigned flags, qef64_db** db)
    __attribute__((weak));

static void die(const char* what) {
  fprintf(stderr, "cold: %s\n", what);
  exit(1);
}

static void drop_caches(void) {
  int fd;
  sync();
  fd = open("/proc/sys/vm/drop_caches", O_WRONLY);
  if (fd == -1 || write(fd, "3\n", 2) != 2) die("cannot drop the page cache");
  close(fd);
}

int main(int argc, char** argv) {
  const char* mode;
  size_t n, batch, count = 0, cap = 0, i;
  unsigned flags;
  char* text;
  long size;
  const void** keys = NULL;
  size_t* lens = NULL;
  const void** data;
  size_t* data_lens;
  FILE* kf;
  qef64_db* db;
  uint64_t before, opened, pg, check = 0;
  double t0, t1, t2, c1;
  int rc;

  if (argc < 4) die("usage: cold DB KEYS loop|many|iter [N] [BATCH] [FLAGS]");
  mode = argv[3];
  n = argc > 4 ? strtoul(argv[4], 0, 10) : 2000;
  batch = argc > 5 ? strtoul(argv[5], 0, 10) : 1000;
  flags = argc > 6 ? (unsigned)strtoul(argv[6], 0, 0) : 0;
  if (batch == 0) batch = 1;

  kf = fopen(argv[2], "rb");
  if (kf == NULL) die("cannot open the keys");
  fseek(kf, 0, SEEK_END);
  size = ftell(kf);
  rewind(kf);
  text = malloc((size_t)size + 1);
  if (text == NULL || fread(text, 1, (size_t)size, kf) != (size_t)size)
    die("cannot read the keys");
  fclose(kf);
  for (char *p = text, *end = text + size; p < end && count < n;) {
    char* nl = memchr(p, '\n', (size_t)(end - p));
    if (nl == NULL) nl = end;
    if (count == cap) {
      cap = cap ? 2 * cap : 1024;
      keys = realloc(keys, cap * sizeof *keys);
      lens = realloc(lens, cap * sizeof *lens);
      if (keys == NULL || lens == NULL) die("out of memory");
    }
    keys[count] = p;
    lens[count++] = (size_t)(nl - p);
    p = nl + 1;
  }
  n = count;
  data = malloc((n + 1) * sizeof *data);
  data_lens = malloc((n + 1) * sizeof *data_lens);
  if (data == NULL || data_lens == NULL) die("out of memory");

  if (getenv("COLD_DROP") != NULL && strcmp(getenv("COLD_DROP"), "1") == 0)
    drop_caches();
  before = proc_field("/proc/self/io", "read_bytes: ");
  t0 = now_ms();
  if (flags != 0) {
    if (qef64_open_ex == NULL) die("this library has no qef64_open_ex");
    rc = qef64_open_ex(argv[1], flags, &db);
  } else {
    rc = qef64_open(argv[1], &db);
  }
  if (rc != 0) die(qef64_strerror(rc));
  t1 = now_ms();
  opened = proc_field("/proc/self/io", "read_bytes: ");
  pg = proc_field("/proc/vmstat", "pgpgin ");
  c1 = cpu_ms();

  if (strcmp(mode, "loop") == 0) {
    for (i = 0; i < n; i++) {
      rc = qef64_get(db, keys[i], lens[i], &data[i], &data_lens[i]);
      if (rc != 0 && rc != QEF64_NOTFOUND) die(qef64_strerror(rc));
      if (rc == 0) check += data_lens[i] + ((const unsigned char*)data[i])[0];
    }
  } else if (strcmp(mode, "many") == 0) {
    for (i = 0; i < n; i += batch) {
      size_t k = n - i < batch ? n - i : batch, j;
      rc = qef64_get_many(db, k, keys + i, lens + i, data + i, data_lens + i);
      if (rc != 0) die(qef64_strerror(rc));
      for (j = i; j < i + k; j++) {
        if (data[j] != NULL)
          check += data_lens[j] + ((const unsigned char*)data[j])[0];
      }
    }
  } else if (strcmp(mode, "iter") == 0) {
    qef64_iter it = QEF64_ITER_INIT;
    const void *k, *d;
    size_t kl, dl;
    n = 0;
    while ((rc = qef64_iter_next(db, &it, &k, &kl, &d, &dl)) == 0) {
      check += kl + dl;
      n++;
    }
    if (rc != QEF64_NOTFOUND) die(qef64_strerror(rc));
  } else {
    die("MODE is loop, many or iter");
  }
  t2 = now_ms();
  {
    double per = (double)(n ? n : 1);
    printf(
        "mode=%s n=%zu us=%.2f cpu=%.2f read=%.0f pgpgin=%.0f open_ms=%.1f "
        "open_mb=%.1f check=%llu\n",
        mode, n, (t2 - t1) * 1e3 / per, (cpu_ms() - c1) * 1e3 / per,
        (double)(proc_field("/proc/self/io", "read_bytes: ") - opened) / per,
        (double)(proc_field("/proc/vmstat", "pgpgin ") - pg) * 1024.0 / per,
        t1 - t0, (double)(opened - before) / 1e6, (unsigned long long)check);
  }
  qef64_close(db);
  return 0;
}
