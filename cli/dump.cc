// qef64 dump: every record of DB in file order, in one of the formats that
// build reads, so that build gives the same file back.

#include <string>

#include "cli/buffer.h"
#include "cli/command.h"
#include "cli/fail.h"
#include "cli/formats.h"
#include "cli/io.h"
#include "cli/source.h"
#include "qef64/qef64.h"

namespace qef64::cli {
namespace {

const char help[] =
    "Usage: qef64 dump [OPTION]... DB\n"
    "Write every record of DB to standard output, in file order, in a format\n"
    "that qef64 build reads back into the same file.\n"
    "\n"
    "  -f, --format=FORMAT  framing (the default: what qef64dump writes), "
    "tsv,\n"
    "                       csv or jsonl\n"
    "      --base64         write the key and data fields of tsv, csv and\n"
    "                       jsonl as base64, which holds any bytes\n"
    "  -h, --help           this text\n"
    "\n"
    "A record that the format cannot hold (tsv: a tab in the key, a newline\n"
    "anywhere, data ending in CR; jsonl: bytes that are not UTF-8) stops the\n"
    "dump with a message naming it: --base64 holds every record.\n";

constexpr std::uint64_t records_start = 4096;  // after the header
constexpr std::uint64_t record_head = 16;      // the two lengths

enum option_id { base64_id = 256 };

}  // namespace

int command_dump(int argc, char** argv) {
  static const option longs[] = {{"format", required_argument, nullptr, 'f'},
                                 {"base64", no_argument, nullptr, base64_id},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  format f = format::framing;
  bool base64 = false;
  for (int c; (c = next_option(argc, argv, "f:", longs, help)) != -1;) {
    if (c == 'f' && !format_from_name(optarg, &f))
      usage_error("dump", std::string("unknown format '") + optarg +
                              "': expected framing, tsv, csv or jsonl");
    if (c == base64_id) base64 = true;
  }
  if (optind + 1 != argc)
    usage_error("dump", optind == argc ? "expected DB" : "expected only DB");
  if (base64 && f == format::framing)
    usage_error("dump",
                "--base64 is for tsv, csv and jsonl: framing holds "
                "any bytes as they are");
  source db;
  source_open(&db, argv[optind]);
  buffer scratch = {};
  qef64_iter it = QEF64_ITER_INIT;
  std::uint64_t number = 0;
  std::uint64_t offset = records_start;  // of the record in the file
  for (;;) {
    const void* key;
    const void* data;
    std::size_t key_len, data_len;
    int rc = source_iter_next(&db, &it, &key, &key_len, &data, &data_len);
    if (rc == QEF64_NOTFOUND) break;
    if (rc != 0) source_fail(&db, rc);
    number++;
    record r = {static_cast<const unsigned char*>(key), key_len,
                static_cast<const unsigned char*>(data), data_len};
    const char* refused = nullptr;
    switch (f) {
      case format::framing:
        refused = write_framing(r);
        break;
      case format::tsv:
        refused = write_tsv(r, base64, &scratch);
        break;
      case format::csv:
        refused = write_csv(r, base64, &scratch);
        break;
      case format::jsonl:
        refused = write_jsonl(r, base64, &scratch);
        break;
    }
    if (refused != nullptr) {
      output_flush();
      fail("unable to dump " + db.path + " as " +
           (f == format::tsv ? "tsv" : "jsonl") + ": record " +
           std::to_string(number) + " (at byte offset " +
           std::to_string(offset) + ") " + refused +
           (f == format::tsv ? " (--base64, or --format=csv, holds it)" : ""));
    }
    offset += record_head + key_len + data_len;
  }
  if (f == format::framing) output_put("\n", 1);
  output_flush();
  buffer_free(&scratch);
  source_close(&db);
  return status_ok;
}

}  // namespace qef64::cli
