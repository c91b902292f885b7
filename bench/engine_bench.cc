// engine_bench [benchmark flags] NAME=RECORDS...: the engines in process, next
// to the same work on an in-memory hash map and, when they were found at
// build time, on LMDB and SQLite.
//
// Each RECORDS file holds record text as qef64gen writes it; NAME labels its
// benchmarks. Per data set, one iteration is the whole set:
//   writer_add/NAME            every record through writer_add (no finish)
//   load/NAME/ENGINE           build a complete store, durable where the
//                              engine makes it so (qef64: finish + fsync;
//                              LMDB: commit; SQLite: COMMIT)
//   find/NAME/ENGINE           every key once, in one random order, reading
//                              the found data's length and first byte; the
//                              peers in one read transaction per pass
// Scratch files go to $BENCH_DIR (default /tmp).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/reader.h"
#include "db/writer.h"

#ifdef QEF64_BENCH_LMDB
#include <lmdb.h>
#endif
#ifdef QEF64_BENCH_SQLITE
#include <sqlite3.h>

using namespace qef64;  // the engines and runtime under test
#endif

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "engine_bench: %s\n", what.c_str());
  std::exit(1);
}

struct record {
  std::string key;
  std::string data;
};

struct data_set {
  std::string name;
  std::string records_path;
  std::vector<record> records;
  std::vector<std::size_t> order;  // a random permutation of the records
  std::int64_t bytes = 0;          // sum of key and data lengths
  bool loaded = false;
};

std::string scratch_dir() {
  const char* d = std::getenv("BENCH_DIR");
  return d != nullptr && *d != '\0' ? d : "/tmp";
}

// Parses record text (the builder's framing) into memory.
void parse_records(data_set* set) {
  std::FILE* f = std::fopen(set->records_path.c_str(), "rb");
  if (f == nullptr) die(set->records_path + ": " + std::strerror(errno));
  auto number = [&](int end) {
    std::int64_t v = 0;
    for (int c; (c = std::getc(f)) != end;) {
      if (c < '0' || c > '9') die(set->records_path + ": bad format");
      v = v * 10 + (c - '0');
    }
    return v;
  };
  auto bytes = [&](std::int64_t n) {
    std::string s(static_cast<std::size_t>(n), '\0');
    if (n > 0 && std::fread(s.data(), 1, s.size(), f) != s.size())
      die(set->records_path + ": truncated");
    return s;
  };
  for (int c; (c = std::getc(f)) == '+';) {
    std::int64_t key_len = number(',');
    std::int64_t data_len = number(':');
    record r;
    r.key = bytes(key_len);
    if (bytes(2) != "->") die(set->records_path + ": bad format");
    r.data = bytes(data_len);
    if (std::getc(f) != '\n') die(set->records_path + ": bad format");
    set->bytes += key_len + data_len;
    set->records.push_back(std::move(r));
  }
  std::fclose(f);
  set->order.resize(set->records.size());
  for (std::size_t i = 0; i < set->order.size(); i++) set->order[i] = i;
  std::mt19937_64 shuffle_rng(42);
  std::shuffle(set->order.begin(), set->order.end(), shuffle_rng);
}

data_set& load(data_set& set) {
  if (!set.loaded) {
    parse_records(&set);
    set.loaded = true;
  }
  return set;
}

void set_counts(benchmark::State& state, const data_set& set) {
  auto n = static_cast<std::int64_t>(set.records.size());
  state.SetItemsProcessed(n * static_cast<std::int64_t>(state.iterations()));
  state.SetBytesProcessed(set.bytes *
                          static_cast<std::int64_t>(state.iterations()));
  state.counters["records"] = static_cast<double>(n);
}

// ---- qef64 ----

int open_scratch(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd == -1) die(path + ": " + std::strerror(errno));
  return fd;
}

void add_all(db_writer* w, const data_set& set) {
  for (const record& r : set.records) {
    if (writer_add(w, reinterpret_cast<const unsigned char*>(r.key.data()),
                   static_cast<std::int64_t>(r.key.size()),
                   reinterpret_cast<const unsigned char*>(r.data.data()),
                   static_cast<std::int64_t>(r.data.size())) == -1)
      die(std::string("writer_add: ") + std::strerror(errno));
  }
}

// Builds the database of a set at path, complete and on disk.
void qef64_build(const data_set& set, const std::string& path) {
  static db_writer w;
  int fd = open_scratch(path);
  if (writer_start(&w, fd) == -1) die("writer_start");
  add_all(&w, set);
  if (writer_finish(&w) == -1) die("writer_finish");
  if (::fsync(fd) == -1) die("fsync");
  ::close(fd);
  writer_release(&w);
}

void bm_writer_add(benchmark::State& state, data_set* s) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".add";
  static db_writer w;
  for (auto _ : state) {
    state.PauseTiming();
    int fd = open_scratch(path);
    if (writer_start(&w, fd) == -1) die("writer_start");
    state.ResumeTiming();
    add_all(&w, set);
    state.PauseTiming();
    if (stream_flush(&w.out) == -1) die("flush");
    ::close(fd);
    writer_release(&w);
    state.ResumeTiming();
  }
  ::unlink(path.c_str());
  set_counts(state, set);
}

void bm_load_qef64(benchmark::State& state, data_set* s) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".load.db";
  for (auto _ : state) qef64_build(set, path);
  ::unlink(path.c_str());
  set_counts(state, set);
}

void bm_find_qef64(benchmark::State& state, data_set* s, bool mapped) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".find.db";
  qef64_build(set, path);
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd == -1) die(path + ": " + std::strerror(errno));
  static db_reader r;
  reader_init(&r, fd);
  if (r.map_addr == nullptr) die("the database could not be mapped");
  if (!mapped) reader_free(&r);
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (std::size_t i : set.order) {
      const std::string& key = set.records[i].key;
      int found =
          reader_find(&r, reinterpret_cast<const unsigned char*>(key.data()),
                      static_cast<std::int64_t>(key.size()));
      if (found != 1) die("reader_find did not find a key");
      std::int64_t len = reader_data_len(&r);
      unsigned char first = 0;
      if (len > 0 && reader_read(&r, &first, 1, reader_data_pos(&r)) == -1)
        die("reader_read");
      sum += len + first;
    }
    benchmark::DoNotOptimize(sum);
  }
  reader_free(&r);
  ::close(fd);
  ::unlink(path.c_str());
  set_counts(state, set);
}

// ---- std::unordered_map: the in-memory ideal ----

using string_map = std::unordered_map<std::string, std::string>;

void map_fill(string_map* m, const data_set& set) {
  m->reserve(set.records.size());
  for (const record& r : set.records) m->emplace(r.key, r.data);
}

void bm_load_map(benchmark::State& state, data_set* s) {
  const data_set& set = load(*s);
  for (auto _ : state) {
    auto* m = new string_map;
    map_fill(m, set);
    benchmark::DoNotOptimize(m->size());
    state.PauseTiming();
    delete m;
    state.ResumeTiming();
  }
  set_counts(state, set);
}

void bm_find_map(benchmark::State& state, data_set* s) {
  const data_set& set = load(*s);
  string_map m;
  map_fill(&m, set);
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (std::size_t i : set.order) {
      auto it = m.find(set.records[i].key);
      if (it == m.end()) die("unordered_map lost a key");
      const std::string& d = it->second;
      sum += static_cast<std::int64_t>(d.size()) +
             (d.empty() ? 0 : static_cast<unsigned char>(d[0]));
    }
    benchmark::DoNotOptimize(sum);
  }
  set_counts(state, set);
}

// ---- LMDB ----

#ifdef QEF64_BENCH_LMDB
void lmdb_check(int rc, const char* what) {
  if (rc != 0) die(std::string(what) + ": " + mdb_strerror(rc));
}

// A fresh environment in one file, loaded in one write transaction.
MDB_env* lmdb_build(const data_set& set, const std::string& path) {
  ::unlink(path.c_str());
  ::unlink((path + "-lock").c_str());
  MDB_env* env;
  lmdb_check(mdb_env_create(&env), "mdb_env_create");
  // Room for the data, its pages' overhead and the tree.
  auto map_size = static_cast<std::size_t>(
      3 * set.bytes + 64 * static_cast<std::int64_t>(set.records.size()) +
      (std::int64_t{256} << 20));
  lmdb_check(mdb_env_set_mapsize(env, map_size), "mdb_env_set_mapsize");
  lmdb_check(mdb_env_open(env, path.c_str(), MDB_NOSUBDIR, 0644),
             "mdb_env_open");
  MDB_txn* txn;
  MDB_dbi dbi;
  lmdb_check(mdb_txn_begin(env, nullptr, 0, &txn), "mdb_txn_begin");
  lmdb_check(mdb_dbi_open(txn, nullptr, 0, &dbi), "mdb_dbi_open");
  for (const record& r : set.records) {
    MDB_val k{r.key.size(), const_cast<char*>(r.key.data())};
    MDB_val v{r.data.size(), const_cast<char*>(r.data.data())};
    lmdb_check(mdb_put(txn, dbi, &k, &v, 0), "mdb_put");
  }
  lmdb_check(mdb_txn_commit(txn), "mdb_txn_commit");
  return env;
}

void lmdb_remove(MDB_env* env, const std::string& path) {
  mdb_env_close(env);
  ::unlink(path.c_str());
  ::unlink((path + "-lock").c_str());
}

void bm_load_lmdb(benchmark::State& state, data_set* s) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".load.mdb";
  for (auto _ : state) {
    MDB_env* env = lmdb_build(set, path);
    state.PauseTiming();
    lmdb_remove(env, path);
    state.ResumeTiming();
  }
  set_counts(state, set);
}

void bm_find_lmdb(benchmark::State& state, data_set* s) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".find.mdb";
  MDB_env* env = lmdb_build(set, path);
  MDB_txn* txn;
  MDB_dbi dbi;
  lmdb_check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
  lmdb_check(mdb_dbi_open(txn, nullptr, 0, &dbi), "mdb_dbi_open");
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (std::size_t i : set.order) {
      const std::string& key = set.records[i].key;
      MDB_val k{key.size(), const_cast<char*>(key.data())};
      MDB_val v;
      lmdb_check(mdb_get(txn, dbi, &k, &v), "mdb_get");
      sum += static_cast<std::int64_t>(v.mv_size) +
             (v.mv_size == 0 ? 0 : *static_cast<unsigned char*>(v.mv_data));
    }
    benchmark::DoNotOptimize(sum);
  }
  mdb_txn_abort(txn);
  lmdb_remove(env, path);
  set_counts(state, set);
}
#endif

// ---- SQLite ----

#ifdef QEF64_BENCH_SQLITE
void sqlite_check(sqlite3* db, int rc, int want, const char* what) {
  if (rc != want) die(std::string(what) + ": " + sqlite3_errmsg(db));
}

void sqlite_exec(sqlite3* db, const char* sql) {
  sqlite_check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK,
               sql);
}

// A fresh database with one key-value table, loaded in one transaction.
sqlite3* sqlite_build(const data_set& set, const std::string& path) {
  ::unlink(path.c_str());
  sqlite3* db;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite3_open");
  sqlite_exec(db,
              "CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID");
  sqlite_exec(db, "BEGIN");
  sqlite3_stmt* insert;
  sqlite_check(db,
               sqlite3_prepare_v2(db, "INSERT INTO kv VALUES (?, ?)", -1,
                                  &insert, nullptr),
               SQLITE_OK, "prepare INSERT");
  for (const record& r : set.records) {
    sqlite3_bind_blob(insert, 1, r.key.data(), static_cast<int>(r.key.size()),
                      SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, r.data.data(),
                      static_cast<int>(r.data.size()), SQLITE_STATIC);
    sqlite_check(db, sqlite3_step(insert), SQLITE_DONE, "INSERT");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite_exec(db, "COMMIT");
  return db;
}

void bm_load_sqlite(benchmark::State& state, data_set* s) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".load.sqlite";
  for (auto _ : state) {
    sqlite3* db = sqlite_build(set, path);
    state.PauseTiming();
    sqlite3_close(db);
    ::unlink(path.c_str());
    state.ResumeTiming();
  }
  set_counts(state, set);
}

void bm_find_sqlite(benchmark::State& state, data_set* s) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".find.sqlite";
  sqlite3* db = sqlite_build(set, path);
  sqlite3_stmt* select;
  sqlite_check(db,
               sqlite3_prepare_v2(db, "SELECT v FROM kv WHERE k = ?", -1,
                                  &select, nullptr),
               SQLITE_OK, "prepare SELECT");
  for (auto _ : state) {
    // One read transaction for the pass, as LMDB gets: outside one, every
    // statement would lock and unlock the file and check its header again.
    sqlite_exec(db, "BEGIN");
    std::int64_t sum = 0;
    for (std::size_t i : set.order) {
      const std::string& key = set.records[i].key;
      sqlite3_bind_blob(select, 1, key.data(), static_cast<int>(key.size()),
                        SQLITE_STATIC);
      sqlite_check(db, sqlite3_step(select), SQLITE_ROW, "SELECT");
      const auto* v = static_cast<const unsigned char*>(
          sqlite3_column_blob(select, 0));
      std::int64_t len = sqlite3_column_bytes(select, 0);
      sum += len + (len == 0 ? 0 : v[0]);
      sqlite3_reset(select);
    }
    sqlite_exec(db, "COMMIT");
    benchmark::DoNotOptimize(sum);
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  ::unlink(path.c_str());
  set_counts(state, set);
}
#endif

// Every benchmark runs whole data sets, so a few timed iterations suffice;
// repetitions give the median that the report uses. Passes that take
// seconds (positional lookups, SQLite) repeat at most 3 times.
void configure(benchmark::internal::Benchmark* b, bool slow = false) {
  const char* env = std::getenv("BENCH_REPS");
  int reps = env != nullptr ? std::max(1, std::atoi(env)) : 5;
  if (slow) reps = std::min(reps, 3);
  b->Unit(benchmark::kMillisecond)
      ->Iterations(1)
      ->Repetitions(reps)
      ->ReportAggregatesOnly(true)
      ->ComputeStatistics("min",
                          [](const std::vector<double>& v) {
                            return *std::min_element(v.begin(), v.end());
                          })
      ->ComputeStatistics("max",
                          [](const std::vector<double>& v) {
                            return *std::max_element(v.begin(), v.end());
                          })
      ->UseRealTime();
}

void register_set(data_set* set) {
  const std::string& n = set->name;
  configure(benchmark::RegisterBenchmark(("writer_add/" + n).c_str(),
                                         bm_writer_add, set));
  configure(benchmark::RegisterBenchmark(("load/" + n + "/qef64").c_str(),
                                         bm_load_qef64, set));
  configure(benchmark::RegisterBenchmark(
      ("load/" + n + "/unordered_map").c_str(), bm_load_map, set));
#ifdef QEF64_BENCH_LMDB
  configure(benchmark::RegisterBenchmark(("load/" + n + "/lmdb").c_str(),
                                         bm_load_lmdb, set));
#endif
#ifdef QEF64_BENCH_SQLITE
  configure(benchmark::RegisterBenchmark(("load/" + n + "/sqlite").c_str(),
                                         bm_load_sqlite, set),
            true);
#endif
  configure(benchmark::RegisterBenchmark(
      ("find/" + n + "/qef64_mapped").c_str(), bm_find_qef64, set, true));
  configure(benchmark::RegisterBenchmark(
                ("find/" + n + "/qef64_positional").c_str(), bm_find_qef64,
                set, false),
            true);
  configure(benchmark::RegisterBenchmark(
      ("find/" + n + "/unordered_map").c_str(), bm_find_map, set));
#ifdef QEF64_BENCH_LMDB
  configure(benchmark::RegisterBenchmark(("find/" + n + "/lmdb").c_str(),
                                         bm_find_lmdb, set));
#endif
#ifdef QEF64_BENCH_SQLITE
  configure(benchmark::RegisterBenchmark(("find/" + n + "/sqlite").c_str(),
                                         bm_find_sqlite, set),
            true);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Registered benchmarks keep pointers to their sets: the list is sized once.
  std::vector<data_set> sets;
  sets.reserve(static_cast<std::size_t>(argc));
  for (int i = 1; i < argc; i++) {
    const char* eq = std::strchr(argv[i], '=');
    if (eq == nullptr || eq == argv[i]) {
      std::fprintf(stderr, "usage: engine_bench [benchmark flags] "
                           "NAME=RECORDS...\n");
      return 100;
    }
    data_set s;
    s.name.assign(argv[i], static_cast<std::size_t>(eq - argv[i]));
    s.records_path = eq + 1;
    sets.push_back(std::move(s));
  }
  for (data_set& s : sets) register_set(&s);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
