// qef64 warm: reads the hash tables, or the whole file, into the page
// cache through the library's warming (qef64_open_ex; for a set, of every
// shard), then says how much of DB is in memory. On a terminal the
// warming runs in a thread of its own while a second, unwarmed handle on
// the same files measures how much is in memory, for the progress line:
// the page cache is shared.

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "cli/command.h"
#include "cli/fail.h"
#include "cli/io.h"
#include "cli/progress.h"
#include "cli/source.h"
#include "qef64/qef64.h"

namespace qef64::cli {
namespace {

const char help[] =
    "Usage: qef64 warm [OPTION]... DB\n"
    "Read DB into the page cache, so that lookups find it in memory, and\n"
    "write how much of its tables and records is in memory then. DB is a\n"
    "database file or a sharded set's directory.\n"
    "\n"
    "      --tables       only the header and the hash tables (32 bytes a\n"
    "                     record): a lookup then reads one page, its record's\n"
    "      --progress     show progress on standard error even when it is\n"
    "                     not a terminal\n"
    "      --no-progress  never show progress\n"
    "  -h, --help         this text\n";

enum option_id { tables_id = 256, progress_id, quiet_id };

constexpr std::uint64_t header_bytes = 4096;
constexpr std::uint64_t table_bytes_per_record = 32;  // two 16-byte slots
constexpr double poll_seconds = 0.2;

struct warming {
  const char* path;
  unsigned flags;
  source db;
  int rc;
  std::atomic<bool> done;
};

void warm_all(warming* w) {
  w->rc = source_try_open(&w->db, w->path, w->flags);
  w->done.store(true, std::memory_order_release);
}

// The bytes of DB's tables in memory, and of its records.
void in_memory(const source* db, std::uint64_t* tables,
               std::uint64_t* records) {
  *tables = *records = 0;
  for (std::size_t s = 0; s < source_shards(db); s++) {
    std::uint64_t t = 0, r = 0;
    int rc = qef64_resident(source_shard(db, s), &t, &r);
    if (rc != 0) source_fail(db, rc);
    *tables += t;
    *records += r;
  }
}

}  // namespace

int command_warm(int argc, char** argv) {
  static const option longs[] = {
      {"tables", no_argument, nullptr, tables_id},
      {"progress", no_argument, nullptr, progress_id},
      {"no-progress", no_argument, nullptr, quiet_id},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  unsigned flags = QEF64_WARM_ALL;
  progress_mode mode = progress_mode::automatic;
  for (int c; (c = next_option(argc, argv, "", longs, help)) != -1;) {
    if (c == tables_id) flags = QEF64_WARM_TABLES;
    if (c == progress_id) mode = progress_mode::on;
    if (c == quiet_id) mode = progress_mode::off;
  }
  if (optind + 1 != argc)
    usage_error("warm", optind == argc ? "expected DB" : "expected only DB");
  std::string path = argv[optind];

  // The plain handle: the files' sizes, and what is in memory.
  source db;
  source_open(&db, path.c_str());
  std::uint64_t tables = 0;
  for (std::size_t s = 0; s < source_shards(&db); s++)
    tables += header_bytes +
              table_bytes_per_record * qef64_count(source_shard(&db, s));
  std::int64_t total = static_cast<std::int64_t>(tables);
  struct stat st;
  if (flags == QEF64_WARM_ALL)
    total =
        db.set == nullptr && ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;

  progress meter;
  progress_start(&meter, mode, total);
  warming w = {path.c_str(), flags, {}, 0, {false}};
  if (meter.on) {
    std::thread worker(warm_all, &w);
    while (!w.done.load(std::memory_order_acquire)) {
      std::uint64_t t = 0, r = 0;
      in_memory(&db, &t, &r);
      progress_set(&meter, flags == QEF64_WARM_ALL ? t + r : t);
      std::this_thread::sleep_for(std::chrono::duration<double>(poll_seconds));
    }
    worker.join();
  } else {
    warm_all(&w);
  }
  if (w.rc != 0) fail("unable to warm " + path + ": " + error_text(w.rc));
  std::uint64_t t = 0, r = 0;
  in_memory(&db, &t, &r);
  progress_set(&meter, flags == QEF64_WARM_ALL ? t + r : t);
  progress_done(&meter);
  // The sizes, from a read of the tables, which are in memory by now.
  qef64_info sum = {};
  for (std::size_t s = 0; s < source_shards(&db); s++) {
    qef64_info i;
    int rc = qef64_get_info(source_shard(&db, s), &i);
    if (rc != 0) source_fail(&db, rc);
    sum.table_bytes += i.table_bytes;
    sum.record_bytes += i.record_bytes;
  }
  output_put("tables in memory: " + bytes_share(t, sum.table_bytes) + "\n");
  output_put("records in memory: " + bytes_share(r, sum.record_bytes) + "\n");
  output_flush();
  source_close(&w.db);
  source_close(&db);
  return status_ok;
}

}  // namespace qef64::cli
