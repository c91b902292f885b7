/* libmake: qef64make through the library's builder, for the benchmarks and
 * the tests of the builder as a process.
 *
 *   libmake PATH [MEMORY] < records
 *   libmake PATH MEMORY SHARDS < records
 *
 * Reads record text ("+klen,dlen:key->data\n" per record, an empty line at
 * the end) from standard input, adds each record with qef64_builder_add
 * (after qef64_builder_set_memory(MEMORY) when MEMORY is given) and commits
 * the database to PATH. On success it prints one line to standard output,
 * "spilled W read R": the bytes the build wrote to its spill file and read
 * back from it, as this process's write and read counts in /proc/self/io
 * less the database's size and the input. Exits 0, 100 for a usage error,
 * 111 after a failure, with a message on standard error.
 *
 * With SHARDS, the records go to a sharded set of that many shards at PATH
 * through qef64_set_builder instead, MEMORY being the whole set's budget;
 * it prints nothing. */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <qef64/qef64.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static unsigned char* buf;
static size_t cap = (size_t)1 << 20;
static size_t at, held; /* buf[at, held) is unread */
static uint64_t input_bytes;

static void die(const char* what, int rc) {
  fprintf(stderr, "libmake: %s: %s\n", what,
          rc == 0 ? "bad format" : qef64_strerror(rc));
  exit(111);
}

/* Makes at least n unread bytes available from buf + at, moving them to
 * the front and growing buf as needed. */
static void need(size_t n) {
  if (held - at >= n) return;
  if (at > 0) {
    memmove(buf, buf + at, held - at);
    held -= at;
    at = 0;
  }
  while (held < n) {
    if (n > cap) {
      while (cap < n)
        cap *= 2;
      buf = realloc(buf, cap);
      if (buf == NULL) die("input", ENOMEM);
    }
    ssize_t r = read(0, buf + held, cap - held);
    if (r == -1 && errno == EINTR) continue;
    if (r == -1) die("input", errno);
    if (r == 0) die("input", 0);
    held += (size_t)r;
    input_bytes += (uint64_t)r;
  }
}

static unsigned char next(void) {
  need(1);
  return buf[at++];
}

static uint64_t number(unsigned char end) {
  uint64_t v = 0;
  for (;;) {
    unsigned char c = next();
    if (c == end) return v;
    if (c < '0' || c > '9' || v > (UINT64_MAX - 9) / 10) die("input", 0);
    v = v * 10 + (uint64_t)(c - '0');
  }
}

/* The write and read counts of this process so far, from /proc/self/io,
 * opened once as io_fd; returns the bytes it read itself to learn them,
 * which later counts include. pread, which fault injectors that disturb
 * read(2) leave alone. */
static int io_fd = -1;
static uint64_t io_counts(uint64_t* written, uint64_t* read_bytes) {
  char text[1024];
  ssize_t n = io_fd == -1 ? -1 : pread(io_fd, text, sizeof text - 1, 0);
  *written = *read_bytes = 0;
  if (n <= 0) return 0;
  text[n] = '\0';
  const char* w = strstr(text, "wchar: ");
  const char* r = strstr(text, "rchar: ");
  if (w != NULL) *written = strtoull(w + 7, NULL, 10);
  if (r != NULL) *read_bytes = strtoull(r + 7, NULL, 10);
  return (uint64_t)n;
}

/* One of the two builders, as the arguments chose. */
static qef64_builder* one;
static qef64_set_builder* set;

static int add(const void* key, size_t key_len, const void* data,
               size_t data_len) {
  return set != NULL ? qef64_set_builder_add(set, key, key_len, data, data_len)
                     : qef64_builder_add(one, key, key_len, data, data_len);
}

static void abort_build(void) {
  qef64_builder_abort(one);
  qef64_set_builder_abort(set);
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    fputs("usage: libmake PATH [MEMORY [SHARDS]] < records\n", stderr);
    return 100;
  }
  uint64_t written0, read0, written1, read1;
  io_fd = open("/proc/self/io", O_RDONLY | O_CLOEXEC);
  uint64_t own_read = io_counts(&written0, &read0);
  buf = malloc(cap);
  if (buf == NULL) die("input", ENOMEM);
  int rc = argc == 4 ? qef64_set_builder_open(
                           argv[1], (size_t)strtoull(argv[3], NULL, 10), &set)
                     : qef64_builder_open(argv[1], &one);
  if (rc != 0) die(argv[1], rc);
  if (argc >= 3) {
    uint64_t memory = strtoull(argv[2], NULL, 10);
    rc = set != NULL ? qef64_set_builder_set_memory(set, memory)
                     : qef64_builder_set_memory(one, memory);
    if (rc != 0) die(argv[1], rc);
  }
  for (;;) {
    unsigned char c = next();
    if (c == '\n') break;
    if (c != '+') die("input", 0);
    uint64_t key_len = number(',');
    uint64_t data_len = number(':');
    if (key_len > SIZE_MAX - 3 || data_len > SIZE_MAX - 3 - key_len)
      die("input", ENOMEM);
    need((size_t)(key_len + 2 + data_len + 1));
    const unsigned char* key = buf + at;
    const unsigned char* arrow = key + key_len;
    const unsigned char* data = arrow + 2;
    if (arrow[0] != '-' || arrow[1] != '>' || data[data_len] != '\n')
      die("input", 0);
    rc = add(key, (size_t)key_len, data, (size_t)data_len);
    if (rc != 0) {
      abort_build();
      die(argv[1], rc);
    }
    at += (size_t)(key_len + 2 + data_len + 1);
  }
  if (set != NULL) {
    rc = qef64_set_builder_commit(set);
    if (rc != 0) die(argv[1], rc);
    free(buf);
    return 0;
  }
  rc = qef64_builder_commit(one);
  if (rc != 0) die(argv[1], rc);
  io_counts(&written1, &read1);
  struct stat st;
  if (stat(argv[1], &st) == -1) die(argv[1], errno);
  printf("spilled %llu read %llu\n",
         (unsigned long long)(written1 - written0 - (uint64_t)st.st_size),
         (unsigned long long)(read1 - read0 - own_read - input_bytes));
  free(buf);
  return 0;
}
