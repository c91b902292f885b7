// build_and_lookup db: builds a small database at the path db with the
// writer engine, in the process, then looks its keys up with the reader
// engine and prints what it finds.
//
// The database is written under a temporary name and renamed over db once
// it is complete and on disk, so that a reader of db sees the old file or
// the new one, never a partial one.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "db/reader.h"
#include "db/writer.h"

using namespace qef64;

namespace {

// The writer holds its 8 KiB output buffer and the header image: keep it out
// of the stack.
db_writer writer;
db_reader reader;

const unsigned char* bytes(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

int fail(const char* what, const std::string& name) {
  std::fprintf(stderr, "build_and_lookup: %s %s: %s\n", what, name.c_str(),
               std::strerror(errno));
  return 1;
}

// Adds a record whose key and data are C strings.
bool add(const char* key, const char* data) {
  return writer_add(&writer, bytes(key),
                    static_cast<std::int64_t>(std::strlen(key)), bytes(data),
                    static_cast<std::int64_t>(std::strlen(data))) == 0;
}

// Prints every record of key, in the order in which they were added, or
// that there is none.
bool print_records(const char* key) {
  const auto len = static_cast<std::int64_t>(std::strlen(key));
  reader_find_start(&reader);
  int found = 0;
  int records = 0;
  while ((found = reader_find_next(&reader, bytes(key), len)) == 1) {
    records++;
    std::string data(static_cast<std::size_t>(reader_data_len(&reader)), '\0');
    if (reader_read(&reader, reinterpret_cast<unsigned char*>(data.data()),
                    reader_data_len(&reader), reader_data_pos(&reader)) == -1)
      return false;
    std::printf("%s: ", key);
    std::fwrite(data.data(), 1, data.size(), stdout);
    std::printf("\n");
  }
  if (found == -1) return false;
  if (records == 0) std::printf("%s: not found\n", key);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: build_and_lookup db\n");
    return 2;
  }
  const std::string db = argv[1];
  const std::string tmp = db + ".tmp";

  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd == -1) return fail("unable to create", tmp);
  if (writer_start(&writer, fd) == -1 || !add("red", "#ff0000") ||
      !add("green", "#00ff00") || !add("grey", "gray") ||
      !add("grey", "#808080") || writer_finish(&writer) == -1 ||
      ::fsync(fd) == -1 || ::close(fd) == -1)
    return fail("unable to create", tmp);
  if (::rename(tmp.c_str(), db.c_str()) == -1)
    return fail("unable to rename to", db);

  fd = ::open(db.c_str(), O_RDONLY);
  if (fd == -1) return fail("unable to open", db);
  reader_init(&reader, fd);
  for (const char* key : {"red", "grey", "blue"}) {
    if (!print_records(key)) return fail("unable to read", db);
  }
  reader_free(&reader);
  ::close(fd);
  return 0;
}
