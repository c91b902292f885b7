// qef64 info: the shape of a database (qef64_get_info) and how much of it
// is in memory (qef64_resident); for a set, its version, the sums over its
// shards and each shard's own line. What is in memory is measured first,
// since the shape comes from a read of every slot, which brings the tables
// into the page cache.

#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/fail.h"
#include "cli/io.h"
#include "cli/source.h"
#include "qef64/qef64.h"

namespace qef64::cli {
namespace {

const char help[] =
    "Usage: qef64 info [OPTION]... DB\n"
    "Write the shape of DB: its records, the bytes of the file, of its\n"
    "records and of its tables, its slots, the longest probe run of a\n"
    "lookup, and how much of its tables and records is in memory; for a set\n"
    "also its version and each shard's line.\n"
    "\n"
    "      --json   one JSON object instead, on one line\n"
    "  -h, --help   this text\n";

enum option_id { json_id = 256 };

// What is in memory of one database, as qef64_resident says.
struct resident {
  std::uint64_t table_bytes;
  std::uint64_t record_bytes;
};

void add(qef64_info* sum, const qef64_info& one) {
  sum->records += one.records;
  sum->file_bytes += one.file_bytes;
  sum->record_bytes += one.record_bytes;
  sum->table_bytes += one.table_bytes;
  sum->slots += one.slots;
  if (one.longest_probe > sum->longest_probe)
    sum->longest_probe = one.longest_probe;
}

std::string text_lines(const qef64_info& i, const resident& r) {
  char text[512];
  std::snprintf(text, sizeof text,
                "records: %" PRIu64 "\nfile bytes: %" PRIu64
                "\nrecord bytes: %" PRIu64 "\ntable bytes: %" PRIu64
                " (the header and the slots)\nslots: %" PRIu64
                "\nlongest probe: %" PRIu64 "\n",
                i.records, i.file_bytes, i.record_bytes, i.table_bytes, i.slots,
                i.longest_probe);
  return std::string(text) +
         "tables in memory: " + bytes_share(r.table_bytes, i.table_bytes) +
         "\nrecords in memory: " + bytes_share(r.record_bytes, i.record_bytes) +
         "\n";
}

nlohmann::ordered_json json_of(const qef64_info& i, const resident& r) {
  nlohmann::ordered_json j;
  j["records"] = i.records;
  j["file_bytes"] = i.file_bytes;
  j["record_bytes"] = i.record_bytes;
  j["table_bytes"] = i.table_bytes;
  j["slots"] = i.slots;
  j["longest_probe"] = i.longest_probe;
  j["resident_table_bytes"] = r.table_bytes;
  j["resident_record_bytes"] = r.record_bytes;
  return j;
}

}  // namespace

int command_info(int argc, char** argv) {
  static const option longs[] = {{"json", no_argument, nullptr, json_id},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  bool json = false;
  for (int c; (c = next_option(argc, argv, "", longs, help)) != -1;) {
    if (c == json_id) json = true;
  }
  if (optind + 1 != argc)
    usage_error("info", optind == argc ? "expected DB" : "expected only DB");
  source db;
  source_open(&db, argv[optind]);
  std::size_t shards = source_shards(&db);
  std::vector<resident> in_memory(shards);
  for (std::size_t s = 0; s < shards; s++) {
    int rc = qef64_resident(source_shard(&db, s), &in_memory[s].table_bytes,
                            &in_memory[s].record_bytes);
    if (rc != 0) source_fail(&db, rc);
  }
  std::vector<qef64_info> infos(shards);
  qef64_info sum = {};
  resident sum_memory = {};
  for (std::size_t s = 0; s < shards; s++) {
    int rc = qef64_get_info(source_shard(&db, s), &infos[s]);
    if (rc != 0) source_fail(&db, rc);
    add(&sum, infos[s]);
    sum_memory.table_bytes += in_memory[s].table_bytes;
    sum_memory.record_bytes += in_memory[s].record_bytes;
  }

  if (json) {
    nlohmann::ordered_json j;
    j["path"] = db.path;
    j["kind"] = db.set != nullptr ? "set" : "file";
    if (db.set != nullptr) j["version"] = qef64_set_version(db.set);
    j.update(json_of(sum, sum_memory));
    if (db.set != nullptr) {
      nlohmann::ordered_json list = nlohmann::ordered_json::array();
      for (std::size_t s = 0; s < shards; s++)
        list.push_back(json_of(infos[s], in_memory[s]));
      j["shards"] = list;
    }
    // A path need not be UTF-8: its stray bytes become U+FFFD rather
    // than a failure.
    output_put(j.dump(-1, ' ', false,
                      nlohmann::ordered_json::error_handler_t::replace) +
               "\n");
  } else {
    if (db.set != nullptr)
      output_put("set: " + std::to_string(shards) + " shards, version " +
                 qef64_set_version(db.set) + "\n");
    output_put(text_lines(sum, sum_memory));
    for (std::size_t s = 0; s < shards && db.set != nullptr; s++) {
      const qef64_info& i = infos[s];
      char text[256];
      std::snprintf(text, sizeof text,
                    "shard %zu: records %" PRIu64 ", file bytes %" PRIu64
                    ", longest probe %" PRIu64 ", bytes in memory %" PRIu64
                    "\n",
                    s, i.records, i.file_bytes, i.longest_probe,
                    in_memory[s].table_bytes + in_memory[s].record_bytes);
      output_put(text);
    }
  }
  output_flush();
  source_close(&db);
  return status_ok;
}

}  // namespace qef64::cli
