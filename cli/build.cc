// qef64 build: a database from records in a text file, through the
// library's builder, which writes into a file without a name beside DB and
// renames it onto DB once it is complete and on disk. A failure aborts the
// builder: DB stays as it was and nothing of the build is left.

#include <string>

#include "cli/command.h"
#include "cli/fail.h"
#include "cli/formats.h"
#include "cli/io.h"
#include "cli/progress.h"
#include "qef64/qef64.h"

namespace qef64::cli {
namespace {

const char help[] =
    "Usage: qef64 build [OPTION]... INPUT DB\n"
    "Build the database DB from the records in INPUT (- for standard input).\n"
    "DB is replaced at once when the build is complete and on disk; after a\n"
    "failure it is as it was, and nothing of the build is left.\n"
    "\n"
    "  -f, --format=FORMAT  framing, tsv, csv or jsonl (by default the one\n"
    "                       INPUT's extension names: .tsv .tab .csv .jsonl\n"
    "                       .ndjson; otherwise framing)\n"
    "      --base64         the key and data fields of tsv, csv and jsonl are\n"
    "                       base64 of the bytes\n"
    "      --header         skip the first line of tsv, the first record of "
    "csv\n"
    "      --memory=BYTES   memory for the index (64M unless given; K, M, G\n"
    "                       and T count powers of 1024); the rest goes to a\n"
    "                       spill file beside DB\n"
    "      --progress       show progress on standard error even when it is\n"
    "                       not a terminal\n"
    "      --no-progress    never show progress\n"
    "  -h, --help           this text\n"
    "\n"
    "Formats (qef64(1) has the details):\n"
    "  framing  +KLEN,DLEN:KEY->DATA and a newline per record, an empty line\n"
    "           at the end (what qef64make reads and qef64dump writes)\n"
    "  tsv      KEY, a tab, DATA (the rest of the line, tabs and all), LF\n"
    "  csv      RFC 4180: KEY,DATA; quoted fields hold commas, quotes and\n"
    "           line ends\n"
    "  jsonl    {\"key\": \"...\", \"data\": \"...\"} a line; UTF-8 strings\n";

qef64_builder* builder = nullptr;
const char* db_path = nullptr;
progress meter;

void abort_build() {
  qef64_builder_abort(builder);
  builder = nullptr;
}

void add(void*, const record& r) {
  int rc = qef64_builder_add(builder, r.key, r.key_len, r.data, r.data_len);
  if (rc != 0)
    fail(std::string("unable to build ") + db_path + ": " + error_text(rc));
  meter.records++;
}

enum option_id { base64_id = 256, header_id, memory_id, progress_id, quiet_id };

}  // namespace

int command_build(int argc, char** argv) {
  static const option longs[] = {
      {"format", required_argument, nullptr, 'f'},
      {"base64", no_argument, nullptr, base64_id},
      {"header", no_argument, nullptr, header_id},
      {"memory", required_argument, nullptr, memory_id},
      {"progress", no_argument, nullptr, progress_id},
      {"no-progress", no_argument, nullptr, quiet_id},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  const char* format_name = nullptr;
  read_options o = {};
  bool memory_given = false;
  std::uint64_t memory = 0;
  progress_mode mode = progress_mode::automatic;
  for (int c; (c = next_option(argc, argv, "f:", longs, help)) != -1;) {
    switch (c) {
      case 'f':
        format_name = optarg;
        break;
      case base64_id:
        o.base64 = true;
        break;
      case header_id:
        o.header = true;
        break;
      case memory_id:
        memory = parse_bytes("build", "--memory", optarg);
        memory_given = true;
        break;
      case progress_id:
        mode = progress_mode::on;
        break;
      case quiet_id:
        mode = progress_mode::off;
        break;
      default:
        break;
    }
  }
  if (argc - optind != 2)
    usage_error("build", argc - optind < 2 ? "expected INPUT and DB"
                                           : "expected only INPUT and DB");
  const char* input_path = argv[optind];
  db_path = argv[optind + 1];
  format f = format_from_path(input_path);
  if (format_name != nullptr && !format_from_name(format_name, &f))
    usage_error("build", std::string("unknown format '") + format_name +
                             "': expected framing, tsv, csv or jsonl");
  if (o.base64 && f == format::framing)
    usage_error("build",
                "--base64 is for tsv, csv and jsonl: framing holds "
                "any bytes as they are");
  if (o.header && f != format::tsv && f != format::csv)
    usage_error("build", "--header is for tsv and csv");

  input in;
  input_open(&in, input_path);
  progress_start(&meter, mode, in.size);
  in.meter = &meter;
  // Signals are caught before the builder makes its file, so that one
  // arriving in between still finds the cleanup that removes it.
  fail_on_signals();
  int rc = qef64_builder_open(db_path, &builder);
  if (rc != 0)
    fail(std::string("unable to build ") + db_path + ": " + error_text(rc));
  fail_cleanup(abort_build);
  fail_if_signalled();
  if (memory_given) {
    rc = qef64_builder_set_memory(builder, memory);
    if (rc != 0)
      fail(std::string("unable to build ") + db_path + ": " + error_text(rc));
  }
  record_sink sink = {add, nullptr};
  switch (f) {
    case format::framing:
      read_framing(&in, sink);
      break;
    case format::tsv:
      read_tsv(&in, o, sink);
      break;
    case format::csv:
      read_csv(&in, o, sink);
      break;
    case format::jsonl:
      read_jsonl(&in, o, sink);
      break;
  }
  input_close(&in);
  // Commit frees the builder whatever it returns.
  fail_if_signalled();
  fail_cleanup(nullptr);
  progress_stage(&meter, "writing the hash tables");
  rc = qef64_builder_commit(builder);
  builder = nullptr;
  if (rc != 0)
    fail(std::string("unable to build ") + db_path + ": " + error_text(rc));
  progress_done(&meter);
  return status_ok;
}

}  // namespace qef64::cli
