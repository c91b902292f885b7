// lookup_only db key...: prints the data of every record of each key, one
// line per record in the order in which the records were added, or
// "key: not found". Exit status 0 when every key was found, 1 when one was
// not, 2 on an error.
//
// A lookup touches only the key's table descriptor, a few slots and the
// candidate records, so opening a large database costs nothing up front.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "db/reader.h"

using namespace qef64;

namespace {

db_reader reader;

// Writes the record's data in chunks, so data of any length fits.
bool print_data() {
  unsigned char chunk[4096];
  std::int64_t pos = reader_data_pos(&reader);
  std::int64_t left = reader_data_len(&reader);
  while (left > 0) {
    std::int64_t n = left < 4096 ? left : 4096;
    if (reader_read(&reader, chunk, n, pos) == -1) return false;
    std::fwrite(chunk, 1, static_cast<std::size_t>(n), stdout);
    pos += n;
    left -= n;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: lookup_only db key...\n");
    return 2;
  }
  int fd = ::open(argv[1], O_RDONLY);
  if (fd == -1) {
    std::fprintf(stderr, "lookup_only: %s: %s\n", argv[1],
                 std::strerror(errno));
    return 2;
  }
  reader_init(&reader, fd);

  int status = 0;
  for (int i = 2; i < argc; i++) {
    const auto* key = reinterpret_cast<const unsigned char*>(argv[i]);
    const auto len = static_cast<std::int64_t>(std::strlen(argv[i]));
    reader_find_start(&reader);
    int found = 0;
    int records = 0;
    while ((found = reader_find_next(&reader, key, len)) == 1) {
      records++;
      std::printf("%s: ", argv[i]);
      if (!print_data()) {
        found = -1;
        break;
      }
      std::printf("\n");
    }
    if (found == -1) {
      std::fprintf(stderr, "lookup_only: %s: %s\n", argv[1],
                   std::strerror(errno));
      return 2;
    }
    if (records == 0) {
      std::printf("%s: not found\n", argv[i]);
      status = 1;
    }
  }
  return status;
}
