/* cold_lmdb build ENV RECORDS | get ENV KEYS [N]: LMDB as a peer of the
 * cold lookups of bench/cold.sh.
 *
 *   build  loads the record text RECORDS ("+klen,dlen:key->data" lines, as
 *          qef64gen writes it) into a new LMDB environment in the
 *          directory ENV, a later record of a key replacing an earlier one
 *   get    looks the first N keys of KEYS (one a line) up with mdb_get in
 *          one read transaction, the environment opened with MDB_RDONLY
 *          and MDB_NORDAHEAD (LMDB's own advice against read-around), and
 *          prints the fields of bench/cold.c: us, cpu, read, pgpgin, check
 *
 * With COLD_DROP=1 get drops the page cache first, after reading the keys. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <lmdb.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "cold_measure.h"

static void die(const char* what, int rc) {
  fprintf(stderr, "cold_lmdb: %s: %s\n", what, rc ? mdb_strerror(rc) : "");
  exit(1);
}

static char* slurp(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  char* text;
  long n;
  if (f == NULL) die(path, 0);
  fseek(f, 0, SEEK_END);
  n = ftell(f);
  rewind(f);
  text = malloc((size_t)n + 1);
  if (text == NULL || fread(text, 1, (size_t)n, f) != (size_t)n) die(path, 0);
  fclose(f);
  *size = (size_t)n;
  return text;
}

static void open_env(MDB_env** env, const char* dir, unsigned flags) {
  int rc = mdb_env_create(env);
  if (rc == 0) rc = mdb_env_set_mapsize(*env, (size_t)64 << 30);
  if (rc == 0) rc = mdb_env_open(*env, dir, flags, 0644);
  if (rc != 0) die("mdb_env_open", rc);
}

static void build(const char* dir, const char* records) {
  size_t size, puts = 0;
  char* text = slurp(records, &size);
  char* p = text;
  char* end = text + size;
  MDB_env* env;
  MDB_txn* txn;
  MDB_dbi dbi;
  int rc;
  mkdir(dir, 0755);
  open_env(&env, dir, MDB_NOSYNC | MDB_WRITEMAP);
  if ((rc = mdb_txn_begin(env, NULL, 0, &txn)) != 0 ||
      (rc = mdb_dbi_open(txn, NULL, 0, &dbi)) != 0)
    die("mdb_txn_begin", rc);
  while (p < end && *p == '+') {
    char* q;
    size_t klen = strtoul(p + 1, &q, 10), dlen = strtoul(q + 1, &q, 10);
    MDB_val k = {klen, q + 1}, d = {dlen, q + 1 + klen + 2};
    if ((rc = mdb_put(txn, dbi, &k, &d, 0)) != 0) die("mdb_put", rc);
    p = q + 1 + klen + 2 + dlen + 1;
    if (++puts % 1000000 == 0) {
      if ((rc = mdb_txn_commit(txn)) != 0 ||
          (rc = mdb_txn_begin(env, NULL, 0, &txn)) != 0)
        die("mdb_txn_commit", rc);
    }
  }
  if ((rc = mdb_txn_commit(txn)) != 0) die("mdb_txn_commit", rc);
  if ((rc = mdb_env_sync(env, 1)) != 0) die("mdb_env_sync", rc);
  mdb_env_close(env);
  free(text);
}

static void get(const char* dir, const char* keys_file, size_t n) {
  size_t size, count = 0, cap = 0, i;
  char* text = slurp(keys_file, &size);
  MDB_val* keys = NULL;
  MDB_env* env;
  MDB_txn* txn;
  MDB_dbi dbi;
  uint64_t before, pg, check = 0;
  double t1, t2, c1;
  int rc;
  for (char *p = text, *end = text + size; p < end && count < n;) {
    char* nl = memchr(p, '\n', (size_t)(end - p));
    if (nl == NULL) nl = end;
    if (count == cap) {
      cap = cap ? 2 * cap : 1024;
      keys = realloc(keys, cap * sizeof *keys);
      if (keys == NULL) die("out of memory", 0);
    }
    keys[count].mv_data = p;
    keys[count++].mv_size = (size_t)(nl - p);
    p = nl + 1;
  }
  if (getenv("COLD_DROP") != NULL && strcmp(getenv("COLD_DROP"), "1") == 0) {
    int fd;
    sync();
    fd = open("/proc/sys/vm/drop_caches", O_WRONLY);
    if (fd == -1 || write(fd, "3\n", 2) != 2) die("drop_caches", 0);
    close(fd);
  }
  open_env(&env, dir, MDB_RDONLY | MDB_NORDAHEAD | MDB_NOLOCK);
  if ((rc = mdb_txn_begin(env, NULL, MDB_RDONLY, &txn)) != 0 ||
      (rc = mdb_dbi_open(txn, NULL, 0, &dbi)) != 0)
    die("mdb_txn_begin", rc);
  before = proc_field("/proc/self/io", "read_bytes: ");
  pg = proc_field("/proc/vmstat", "pgpgin ");
  t1 = now_ms();
  c1 = cpu_ms();
  for (i = 0; i < count; i++) {
    MDB_val d;
    rc = mdb_get(txn, dbi, &keys[i], &d);
    if (rc == 0) {
      check += d.mv_size + ((const unsigned char*)d.mv_data)[0];
    } else if (rc != MDB_NOTFOUND) {
      die("mdb_get", rc);
    }
  }
  t2 = now_ms();
  {
    double per = (double)(count ? count : 1);
    printf(
        "mode=lmdb n=%zu us=%.2f cpu=%.2f read=%.0f pgpgin=%.0f check=%llu\n",
        count, (t2 - t1) * 1e3 / per, (cpu_ms() - c1) * 1e3 / per,
        (double)(proc_field("/proc/self/io", "read_bytes: ") - before) / per,
        (double)(proc_field("/proc/vmstat", "pgpgin ") - pg) * 1024.0 / per,
        (unsigned long long)check);
  }
  mdb_txn_abort(txn);
  mdb_env_close(env);
}

int main(int argc, char** argv) {
  if (argc >= 4 && strcmp(argv[1], "build") == 0) {
    build(argv[2], argv[3]);
  } else if (argc >= 4 && strcmp(argv[1], "get") == 0) {
    get(argv[2], argv[3], argc > 4 ? strtoul(argv[4], 0, 10) : 2000);
  } else {
    die("usage: cold_lmdb build ENV RECORDS | get ENV KEYS [N]", 0);
  }
  return 0;
}
