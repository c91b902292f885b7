// qef64 warm: reads the hash tables, or the whole file, into the page
// cache through the library's warming (qef64_open_ex), then says how much
// of the file is in memory. On a terminal the warming runs in a thread of
// its own while a second, unwarmed handle on the same file measures how
// much is in memory, for the progress line: the page cache is shared.

#include <sys/stat.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>

#include "cli/command.h"
#include "cli/fail.h"
#include "cli/io.h"
#include "cli/progress.h"
#include "qef64/qef64.h"

namespace qef64::cli {
namespace {

const char help[] =
    "Usage: qef64 warm [OPTION]... DB\n"
    "Read DB into the page cache, so that lookups find it in memory, and\n"
    "write how much of its tables and records is in memory then.\n"
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
  qef64_db* db;
  int rc;
  std::atomic<bool> done;
};

void warm_all(warming* w) {
  w->rc = qef64_open_ex(w->path, w->flags, &w->db);
  w->done.store(true, std::memory_order_release);
}

std::string share(std::uint64_t part, std::uint64_t whole) {
  double pct = whole == 0 ? 100
                          : 100.0 * static_cast<double>(part) /
                                static_cast<double>(whole);
  if (pct > 100) pct = 100;
  char text[64];
  std::snprintf(text, sizeof text, "%" PRIu64 " of %" PRIu64 " bytes (%.1f%%)",
                part, whole, pct);
  return text;
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

  // The plain handle: the file's size and records, and what is in memory.
  qef64_db* db = nullptr;
  int rc = qef64_open(path.c_str(), &db);
  if (rc != 0) fail("unable to open " + path + ": " + error_text(rc));
  struct stat st;
  if (::stat(path.c_str(), &st) == -1)
    fail("unable to open " + path + ": " + error_text(errno));
  auto file_bytes = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t tables =
      header_bytes + table_bytes_per_record * qef64_count(db);
  if (tables > file_bytes) tables = file_bytes;
  std::uint64_t records = file_bytes - tables;

  progress meter;
  progress_start(
      &meter, mode,
      static_cast<std::int64_t>(flags == QEF64_WARM_ALL ? file_bytes : tables));
  warming w = {path.c_str(), flags, nullptr, 0, {false}};
  if (meter.on) {
    std::thread worker(warm_all, &w);
    while (!w.done.load(std::memory_order_acquire)) {
      std::uint64_t t = 0, r = 0;
      if (qef64_resident(db, &t, &r) == 0)
        progress_set(&meter, flags == QEF64_WARM_ALL ? t + r : t);
      std::this_thread::sleep_for(std::chrono::duration<double>(poll_seconds));
    }
    worker.join();
  } else {
    warm_all(&w);
  }
  if (w.rc != 0) fail("unable to warm " + path + ": " + error_text(w.rc));
  std::uint64_t t = 0, r = 0;
  rc = qef64_resident(db, &t, &r);
  if (rc != 0) fail("unable to read " + path + ": " + error_text(rc));
  progress_set(&meter, flags == QEF64_WARM_ALL ? t + r : t);
  progress_done(&meter);
  output_put("tables in memory: " + share(t, tables) + "\n");
  output_put("records in memory: " + share(r, records) + "\n");
  output_flush();
  qef64_close(w.db);
  qef64_close(db);
  return status_ok;
}

}  // namespace qef64::cli
