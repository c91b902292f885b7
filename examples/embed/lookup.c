/* lookup db key...: prints the data of every record of each key, one line
 * per record in the order the records were added, or "key: not found".
 * Exit status 0 when every key was found, 1 when one was not, 2 on an
 * error. C11 and <qef64/qef64.h>.
 *
 * Opening maps the file; a lookup touches only the key's table descriptor,
 * a few slots and the candidate records, so a large database costs nothing
 * up front. */

#include <qef64/qef64.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  qef64_db* db;
  int status = 0;
  int rc;
  if (argc < 3) {
    fprintf(stderr, "usage: lookup db key...\n");
    return 2;
  }
  rc = qef64_open(argv[1], &db);
  if (rc != 0) {
    fprintf(stderr, "lookup: %s: %s\n", argv[1], qef64_strerror(rc));
    return 2;
  }
  for (int i = 2; i < argc; i++) {
    qef64_cursor cur = QEF64_CURSOR_INIT;
    const void* data;
    size_t len;
    int records = 0;
    while ((rc = qef64_find_next(db, &cur, argv[i], strlen(argv[i]), &data,
                                 &len)) == 0) {
      records++;
      printf("%s: %.*s\n", argv[i], (int)len, (const char*)data);
    }
    if (rc != QEF64_NOTFOUND) {
      fprintf(stderr, "lookup: %s: %s\n", argv[1], qef64_strerror(rc));
      qef64_close(db);
      return 2;
    }
    if (records == 0) {
      printf("%s: not found\n", argv[i]);
      status = 1;
    }
  }
  qef64_close(db);
  return status;
}
