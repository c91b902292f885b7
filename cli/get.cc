// qef64 get: the data of keys given as arguments or read from a file, the
// file's keys looked up a batch at a time with get_many, so that the
// memory accesses of many lookups overlap.

#include <cstring>
#include <string>

#include "cli/buffer.h"
#include "cli/command.h"
#include "cli/fail.h"
#include "cli/io.h"
#include "cli/source.h"

namespace qef64::cli {
namespace {

const char help[] =
    "Usage: qef64 get [OPTION]... DB [KEY]...\n"
    "Write the data of each KEY's first record in DB, each followed by a\n"
    "newline. A key without records writes nothing, and the status is 100.\n"
    "\n"
    "  -a, --all        every record of each key, in the order added\n"
    "  -k, --keys=FILE  also the keys in FILE (- for standard input), one a\n"
    "                   line, after those on the command line\n"
    "  -0, --null       end each output, and each key of FILE, with a NUL\n"
    "                   byte rather than a newline\n"
    "  -t, --tsv        write KEY, a tab and the data on each line\n"
    "  -h, --help       this text\n";

// Keys of one get_many call. Their bytes are copied, since the input's
// buffer moves as it is refilled.
constexpr std::size_t batch_max = 1024;

struct options {
  bool all;
  bool tsv;
  char end;  // after each output
};

struct batch {
  buffer bytes;
  std::size_t ends[batch_max];  // key i is bytes[ends[i-1], ends[i])
  std::size_t count;
};

bool missing = false;

void put_record(const options& o, const void* key, std::size_t key_len,
                const void* data, std::size_t data_len) {
  if (o.tsv) {
    output_put(key, key_len);
    output_put("\t", 1);
  }
  output_put(data, data_len);
  output_put(&o.end, 1);
}

void look_up_all(const source* db, const options& o, const void* key,
                 std::size_t key_len) {
  qef64_cursor cur = QEF64_CURSOR_INIT;
  const void* data;
  std::size_t data_len;
  bool found = false;
  for (;;) {
    int rc = source_find_next(db, &cur, key, key_len, &data, &data_len);
    if (rc == QEF64_NOTFOUND) break;
    if (rc != 0) source_fail(db, rc);
    put_record(o, key, key_len, data, data_len);
    found = true;
  }
  if (!found) missing = true;
}

void run_batch(const source* db, const options& o, batch* b) {
  if (b->count == 0) return;
  const void* keys[batch_max];
  std::size_t lens[batch_max];
  const void* data[batch_max];
  std::size_t data_lens[batch_max];
  std::size_t start = 0;
  for (std::size_t i = 0; i < b->count; i++) {
    keys[i] = b->bytes.data + start;
    lens[i] = b->ends[i] - start;
    start = b->ends[i];
  }
  if (o.all) {
    for (std::size_t i = 0; i < b->count; i++)
      look_up_all(db, o, keys[i], lens[i]);
  } else {
    int rc = source_get_many(db, b->count, keys, lens, data, data_lens);
    if (rc != 0) source_fail(db, rc);
    for (std::size_t i = 0; i < b->count; i++) {
      if (data[i] == nullptr) {
        missing = true;
        continue;
      }
      put_record(o, keys[i], lens[i], data[i], data_lens[i]);
    }
  }
  b->count = 0;
  b->bytes.len = 0;
}

void add_key(const source* db, const options& o, batch* b,
             std::string_view key) {
  buffer_append(&b->bytes, key.data(), key.size());
  b->ends[b->count++] = b->bytes.len;
  if (b->count == batch_max) run_batch(db, o, b);
}

void read_keys(const source* db, const options& o, batch* b, const char* path) {
  input in;
  input_open(&in, path);
  auto delim = static_cast<unsigned char>(o.end);
  std::string_view key;
  bool ended;
  while (input_line(&in, delim, &key, &ended)) {
    if (delim == '\n' && !key.empty() && key.back() == '\r')
      fail(input_place(in.name, in.line,
                       input_offset(&in, reinterpret_cast<const unsigned char*>(
                                             key.data())) +
                           key.size() - 1) +
           "expected the key to end at LF, found a carriage return before it "
           "(for CR LF line ends, remove the CRs first; with --null, a key "
           "may end in CR)");
    add_key(db, o, b, key);
  }
  input_close(&in);
}

}  // namespace

int command_get(int argc, char** argv) {
  static const option longs[] = {{"all", no_argument, nullptr, 'a'},
                                 {"keys", required_argument, nullptr, 'k'},
                                 {"null", no_argument, nullptr, '0'},
                                 {"tsv", no_argument, nullptr, 't'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  options o = {false, false, '\n'};
  const char* keys_path = nullptr;
  for (int c; (c = next_option(argc, argv, "ak:0t", longs, help)) != -1;) {
    switch (c) {
      case 'a':
        o.all = true;
        break;
      case 'k':
        keys_path = optarg;
        break;
      case '0':
        o.end = '\0';
        break;
      case 't':
        o.tsv = true;
        break;
      default:
        break;
    }
  }
  if (optind == argc) usage_error("get", "expected DB");
  if (optind + 1 == argc && keys_path == nullptr)
    usage_error("get", "expected a KEY, or --keys=FILE");
  source db;
  source_open(&db, argv[optind]);
  static batch b;
  for (int i = optind + 1; i < argc; i++)
    add_key(&db, o, &b, argv[i]);
  if (keys_path != nullptr) read_keys(&db, o, &b, keys_path);
  run_batch(&db, o, &b);
  output_flush();
  buffer_free(&b.bytes);
  source_close(&db);
  return missing ? status_missing : status_ok;
}

}  // namespace qef64::cli
