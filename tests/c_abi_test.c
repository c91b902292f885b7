#define _POSIX_C_SOURCE 200809L
/* The C interface from end to end, as a C99 program sees it: build, commit
 * and abort, every way of reading, replacement, and the bytes against
 * qef64make's. It also defines names the library's internals use (a struct
 * stream, seek_to, read_op, fatal_exit): the library must not see them.
 *
 *   c_abi_test QEF64MAKE SCRATCH_DIR
 * prints the failed checks and exits 1 if there are any. */

#include <dirent.h>
#include <errno.h>
#include <qef64/qef64.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* Names a program may well have; the builder below seeks and writes
 * through the library's own. */
struct stream {
  int unrelated;
};
int seek_to_calls = 0;
int seek_to(int fd, long where) {
  (void)fd;
  (void)where;
  seek_to_calls++;
  return -1;
}
long read_op(long fd, unsigned char* buf, long len) {
  (void)fd;
  (void)buf;
  (void)len;
  return -1;
}
void fatal_exit(void) {
  abort();
}

static int failures = 0;
#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                              \
    }                                                                          \
  } while (0)

struct record {
  const char* key;
  size_t key_len;
  const char* data;
  size_t data_len;
};

/* Duplicates (grey twice), the empty key, a binary key with NUL and 0xff,
 * and a value longer than the writer's buffer. */
static char big[20000];
static struct record records[] = {
    {"red", 3, "#ff0000", 7},  {"grey", 4, "gray", 4},
    {"", 0, "empty key", 9},   {"bin\0\xff", 5, "b\0n", 3},
    {"grey", 4, "#808080", 7}, {"big", 3, big, sizeof big},
    {"nodata", 6, "", 0},
};
enum { record_count = sizeof records / sizeof records[0] };

static char dir[4096], path[4200], maked[4200];
static const char* qef64make;

static void build(const char* to, int n) {
  qef64_builder* b = NULL;
  int i;
  CHECK(qef64_builder_open(to, &b) == 0 && b != NULL);
  for (i = 0; i < n; i++) {
    CHECK(qef64_builder_add(b, records[i].key, records[i].key_len,
                            records[i].data, records[i].data_len) == 0);
  }
  CHECK(qef64_builder_commit(b) == 0);
}

/* The same with the least memory: every table keeps one entry in memory
 * and the second grey goes to the spill file. A budget is set before the
 * first record or not at all. */
static void build_spilled(const char* to) {
  qef64_builder* b = NULL;
  int i;
  CHECK(qef64_builder_open(to, &b) == 0 && b != NULL);
  CHECK(qef64_builder_set_memory(b, 0) == 0);
  for (i = 0; i < record_count; i++) {
    CHECK(qef64_builder_add(b, records[i].key, records[i].key_len,
                            records[i].data, records[i].data_len) == 0);
  }
  CHECK(qef64_builder_set_memory(b, 1 << 20) == EINVAL);
  CHECK(qef64_builder_commit(b) == 0);
}

/* Entries of the scratch directory whose names start with a dot: the
 * builder's temporary files, which must never outlive a build. */
static int temp_files(void) {
  DIR* d = opendir(dir);
  struct dirent* e;
  int n = 0;
  if (d == NULL) return -1;
  while ((e = readdir(d)) != NULL) {
    if (e->d_name[0] == '.' && strcmp(e->d_name, ".") != 0 &&
        strcmp(e->d_name, "..") != 0)
      n++;
  }
  closedir(d);
  return n;
}

static long file_bytes(const char* p, char* buf, long size) {
  FILE* f = fopen(p, "rb");
  long n;
  if (f == NULL) return -1;
  n = (long)fread(buf, 1, (size_t)size, f);
  fclose(f);
  return n;
}

/* The same records through qef64make: byte for byte the same file, and
 * the same again with the least memory. */
static void compare_with_program(void) {
  static char a[65536], b[65536], c[65536];
  char spilled[4400];
  char text[4400], command[13000];
  FILE* f;
  int i;
  long na, nb;
  snprintf(text, sizeof text, "%s/records.txt", dir);
  f = fopen(text, "wb");
  CHECK(f != NULL);
  if (f == NULL) return;
  for (i = 0; i < record_count; i++) {
    fprintf(f, "+%lu,%lu:", (unsigned long)records[i].key_len,
            (unsigned long)records[i].data_len);
    fwrite(records[i].key, 1, records[i].key_len, f);
    fputs("->", f);
    fwrite(records[i].data, 1, records[i].data_len, f);
    fputc('\n', f);
  }
  fputc('\n', f);
  fclose(f);
  snprintf(command, sizeof command, "'%s' '%s' '%s.tmp' < '%s'", qef64make,
           maked, maked, text);
  CHECK(system(command) == 0);
  na = file_bytes(path, a, sizeof a);
  nb = file_bytes(maked, b, sizeof b);
  CHECK(na > 4096 && na == nb && memcmp(a, b, (size_t)na) == 0);
  snprintf(spilled, sizeof spilled, "%s/spilled.db", dir);
  build_spilled(spilled);
  CHECK(file_bytes(spilled, c, sizeof c) == nb &&
        memcmp(c, b, (size_t)nb) == 0);
}

static int same(const void* p, size_t n, const char* want, size_t want_len) {
  return n == want_len && (n == 0 || memcmp(p, want, n) == 0);
}

static void read_everything(void) {
  qef64_db* db = NULL;
  const void *data, *key;
  size_t len, key_len;
  qef64_cursor cur = QEF64_CURSOR_INIT;
  qef64_iter it = QEF64_ITER_INIT;
  const void* keys[4];
  size_t key_lens[4], lens[4];
  const void* datas[4];
  qef64_info info;
  int i;

  CHECK(qef64_open(path, &db) == 0 && db != NULL);
  if (db == NULL) return;
  CHECK(qef64_count(db) == record_count);
  for (i = 0; i < record_count; i++) {
    if (i == 4) continue; /* the second grey: get gives the first */
    CHECK(qef64_get(db, records[i].key, records[i].key_len, &data, &len) == 0);
    CHECK(same(data, len, records[i].data, records[i].data_len));
  }
  CHECK(qef64_get(db, "blue", 4, &data, &len) == QEF64_NOTFOUND);
  CHECK(data == NULL && len == 0);
  CHECK(qef64_get(db, "bin", 3, &data, &len) == QEF64_NOTFOUND);

  CHECK(qef64_find_next(db, &cur, "grey", 4, &data, &len) == 0);
  CHECK(same(data, len, "gray", 4));
  CHECK(qef64_find_next(db, &cur, "grey", 4, &data, &len) == 0);
  CHECK(same(data, len, "#808080", 7));
  CHECK(qef64_find_next(db, &cur, "grey", 4, &data, &len) == QEF64_NOTFOUND);
  CHECK(qef64_find_next(db, &cur, "grey", 4, &data, &len) == QEF64_NOTFOUND);

  keys[0] = "grey", key_lens[0] = 4;
  keys[1] = "blue", key_lens[1] = 4;
  keys[2] = NULL, key_lens[2] = 0;
  keys[3] = "bin\0\xff", key_lens[3] = 5;
  CHECK(qef64_get_many(db, 4, keys, key_lens, datas, lens) == 0);
  CHECK(same(datas[0], lens[0], "gray", 4));
  CHECK(datas[1] == NULL && lens[1] == 0);
  CHECK(same(datas[2], lens[2], "empty key", 9));
  CHECK(same(datas[3], lens[3], "b\0n", 3));

  for (i = 0; qef64_iter_next(db, &it, &key, &key_len, &data, &len) == 0; i++) {
    CHECK(i < record_count);
    if (i >= record_count) break;
    CHECK(same(key, key_len, records[i].key, records[i].key_len));
    CHECK(same(data, len, records[i].data, records[i].data_len));
  }
  CHECK(i == record_count);
  CHECK(qef64_iter_next(db, &it, &key, &key_len, &data, &len) ==
        QEF64_NOTFOUND);
  CHECK(qef64_replaced(db) == 0);
  CHECK(qef64_verify(db) == 0);
  CHECK(qef64_get_info(db, &info) == 0);
  CHECK(info.records == (uint64_t)record_count &&
        info.slots == 2 * info.records);
  CHECK(info.record_bytes + info.table_bytes == info.file_bytes);
  CHECK(info.longest_probe >= 1);
  qef64_close(db);
}

/* An open database keeps its contents when the path is rebuilt, and says
 * that it was replaced; an abort leaves the path as it was. */
static void replace_and_abort(void) {
  qef64_db *old = NULL, *fresh = NULL;
  qef64_builder* b = NULL;
  const void* data;
  size_t len;
  struct stat st;

  CHECK(chmod(path, 0600) == 0);
  CHECK(qef64_open(path, &old) == 0);
  build(path, 2);
  CHECK(temp_files() == 0);
  CHECK(stat(path, &st) == 0 && (st.st_mode & 0777) == 0600);
  CHECK(qef64_replaced(old) == 1);
  CHECK(qef64_get(old, "nodata", 6, &data, &len) == 0 && len == 0);
  CHECK(qef64_open(path, &fresh) == 0);
  CHECK(qef64_count(fresh) == 2);
  CHECK(qef64_get(fresh, "nodata", 6, &data, &len) == QEF64_NOTFOUND);

  CHECK(qef64_builder_open(path, &b) == 0);
  /* None where the file system makes files without a name. */
  CHECK(temp_files() <= 1);
  CHECK(qef64_builder_add(b, "x", 1, "y", 1) == 0);
  qef64_builder_abort(b);
  CHECK(temp_files() == 0);
  CHECK(qef64_replaced(fresh) == 0);

  CHECK(unlink(path) == 0);
  CHECK(qef64_replaced(fresh) == 1);
  qef64_close(fresh);
  qef64_close(old);
}

int main(int argc, char** argv) {
  const char* text;
  if (argc != 3) {
    fprintf(stderr, "usage: c_abi_test QEF64MAKE SCRATCH_DIR\n");
    return 2;
  }
  qef64make = argv[1];
  snprintf(dir, sizeof dir, "%s", argv[2]);
  snprintf(path, sizeof path, "%s/c.db", dir);
  snprintf(maked, sizeof maked, "%s/made.db", dir);
  memset(big, 'z', sizeof big);
  big[sizeof big - 1] = '\n';

  build(path, record_count);
  CHECK(temp_files() == 0);
  compare_with_program();
  read_everything();
  replace_and_abort();
  CHECK(seek_to_calls == 0);

  /* The documented vectors of the shard hash. */
  CHECK(qef64_shard_hash(NULL, 0) == 17665956581633026203ULL);
  CHECK(qef64_shard_hash("a", 1) == 198367012849983736ULL);
  CHECK(qef64_shard_hash("abc", 3) == 996580060897260808ULL);
  CHECK(qef64_shard_hash("Asunci\xc3\xb3n", 9) == 17274110151228271958ULL);

  text = qef64_version();
  CHECK(text != NULL && strchr(text, '.') != NULL);
  CHECK(strcmp(qef64_strerror(QEF64_NOTFOUND), "no such record") == 0);
  CHECK(strcmp(qef64_strerror(0), "success") == 0);
  if (failures != 0) fprintf(stderr, "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
