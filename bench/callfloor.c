/* The floor of a scanner: the system calls that qef64dump, qef64test and
 * qef64stats are bound to make on a database, and nothing else.
 *
 *   callfloor copy < db > out   reads in 8192-byte calls and writes each
 *                               block out again (qef64dump's reads, and
 *                               about as many writes)
 *   callfloor seek < db         reads in 8192-byte calls, walks the record
 *                               lengths and, for each key of at most 1024
 *                               bytes, makes the two lseek calls that save
 *                               and restore the offset (qef64test and
 *                               qef64stats, without their lookups)
 *
 * The ratio of a scanner to this floor is what its own work costs. */

#include <stdint.h>
#include <string.h>
#include <unistd.h>

static unsigned char buf[8192];
static size_t held, at;

/* Refills an empty buffer with one read of up to 8192 bytes, as the
 * scanners' input stream does: 0, or -1 at the end or on an error. */
static int refill(void) {
  if (at < held) return 0;
  ssize_t r = read(0, buf, sizeof buf);
  if (r <= 0) return -1;
  held = (size_t)r;
  at = 0;
  return 0;
}

static int next(void) {
  if (refill() == -1) return -1;
  return buf[at++];
}

static int number(uint64_t* v) {
  *v = 0;
  for (int k = 0; k < 8; k++) {
    int b = next();
    if (b < 0) return -1;
    *v |= (uint64_t)b << (8 * k);
  }
  return 0;
}

static int skip(uint64_t n) {
  while (n > 0) {
    if (refill() == -1) return -1;
    size_t k = held - at;
    if (k > n) k = (size_t)n;
    at += k;
    n -= k;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "copy") == 0) {
    ssize_t r;
    while ((r = read(0, buf, sizeof buf)) > 0) {
      if (write(1, buf, (size_t)r) != r) return 111;
    }
    return r == 0 ? 0 : 111;
  }
  uint64_t end, v, pos = 4096;
  if (number(&end) == -1) return 111;
  for (int i = 1; i < 512; i++) {
    if (number(&v) == -1) return 111;
  }
  while (pos < end) {
    uint64_t key_len, data_len;
    if (number(&key_len) == -1 || number(&data_len) == -1) return 111;
    if (skip(key_len) == -1) return 111;
    if (key_len <= 1024) {
      off_t saved = lseek(0, 0, SEEK_CUR);
      if (lseek(0, saved, SEEK_SET) == -1) return 111;
    }
    if (skip(data_len) == -1) return 111;
    pos += 16 + key_len + data_len;
  }
  return 0;
}
