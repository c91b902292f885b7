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
//   batch/NAME/ROW             the same order through the C interface: get
//                              (a loop of qef64_get), get_many (batches of
//                              1000), get_many_2threads, floor (two dependent
//                              random reads per key, 16 in flight),
//                              set_get_many (the batches on a set of 32
//                              shards of the same records), and the peers
//                              unordered_map and lmdb
//   batch_half/NAME/ROW        the same with every second key absent
// An argument NAME=RECORDS runs the other rows, batch:NAME=RECORDS the batch
// rows; both may name one set.
// Scratch files go to $BENCH_DIR (default /tmp).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/reader.h"
#include "db/writer.h"
#include "qef64/qef64.h"

#ifdef QEF64_BENCH_LMDB
#include <lmdb.h>
#endif
#ifdef QEF64_BENCH_SQLITE
#include <sqlite3.h>
#endif

using namespace qef64;  // the engines and runtime under test

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
  bool batch_only = false;  // only the batched-lookup rows
  // The keys of a lookup pass, in the random order: all present, or every
  // second one replaced by an absent key of the same length.
  std::vector<std::string_view> present, half_absent;
  std::vector<std::string> absent_keys;
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
  for (std::size_t i = 0; i < set->order.size(); i++)
    set->order[i] = i;
  std::mt19937_64 shuffle_rng(42);
  std::shuffle(set->order.begin(), set->order.end(), shuffle_rng);
  // Generated keys are letters and digits: a '~' makes one absent.
  set->absent_keys.reserve(set->order.size() / 2 + 1);
  for (std::size_t j = 0; j < set->order.size(); j++) {
    const std::string& key = set->records[set->order[j]].key;
    set->present.emplace_back(key);
    if (j % 2 == 0 || key.empty()) {
      set->half_absent.emplace_back(key);
    } else {
      set->absent_keys.push_back(key);
      set->absent_keys.back().back() = '~';
      set->half_absent.emplace_back(set->absent_keys.back());
    }
  }
}

const std::vector<std::string_view>& probe_keys(const data_set& set,
                                                bool half_absent) {
  return half_absent ? set.half_absent : set.present;
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
  for (auto _ : state)
    qef64_build(set, path);
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

// ---- Batched lookups through the C interface ----

// Lookups per qef64_get_many call in the batched rows.
constexpr std::size_t batch_keys = 1000;

// Passes over the keys per timed iteration of a batched row: a small set
// repeats until a million lookups, so that one iteration is long enough to
// time. bench/run.sh divides by the same number.
int passes_for(const data_set& set) {
  std::size_t n = set.present.size();
  return n >= 1000000 || n == 0 ? 1 : static_cast<int>(1000000 / n);
}

// The database of a set, opened through the C interface; closed by the
// caller with qef64_close, the file removed with it.
qef64_db* open_database(const data_set& set, const std::string& path) {
  qef64_build(set, path);
  qef64_db* db = nullptr;
  int rc = qef64_open(path.c_str(), &db);
  if (rc != 0) die(path + ": " + qef64_strerror(rc));
  return db;
}

// Checks a pass found what its keys promise, so that no row can skip work.
void expect_found(std::size_t found, const data_set& set, bool half_absent) {
  std::size_t want =
      half_absent ? (set.present.size() + 1) / 2 : set.present.size();
  if (found != want)
    die("a lookup pass found " + std::to_string(found) + " keys, not " +
        std::to_string(want));
}

// a: one qef64_get per key.
void bm_get_loop(benchmark::State& state, data_set* s, bool half_absent) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".get.db";
  qef64_db* db = open_database(set, path);
  const auto& keys = probe_keys(set, half_absent);
  for (auto _ : state) {
    for (int pass = passes_for(set); pass > 0; pass--) {
      std::int64_t sum = 0;
      std::size_t found = 0;
      for (std::string_view key : keys) {
        const void* data;
        std::size_t len;
        if (qef64_get(db, key.data(), key.size(), &data, &len) != 0) continue;
        found++;
        sum += static_cast<std::int64_t>(len) +
               (len == 0 ? 0 : *static_cast<const unsigned char*>(data));
      }
      expect_found(found, set, half_absent);
      benchmark::DoNotOptimize(sum);
    }
  }
  qef64_close(db);
  ::unlink(path.c_str());
  set_counts(state, set);
}

// The key arrays of a pass, as a caller of qef64_get_many holds them.
struct key_arrays {
  std::vector<const void*> keys;
  std::vector<std::size_t> lens;
};

key_arrays arrays_of(const std::vector<std::string_view>& keys) {
  key_arrays a;
  for (std::string_view k : keys) {
    a.keys.push_back(k.data());
    a.lens.push_back(k.size());
  }
  return a;
}

// Batches first, first + step, ... of the pass: what one thread does.
// many(m, keys, lens, data, data_lens) is qef64_get_many on something.
template <typename Many>
std::size_t many_batches(Many many, const key_arrays& a, std::size_t first,
                         std::size_t step, std::int64_t* sum) {
  const void* data[batch_keys];
  std::size_t lens[batch_keys];
  std::size_t found = 0;
  std::size_t n = a.keys.size();
  for (std::size_t start = first * batch_keys; start < n;
       start += step * batch_keys) {
    std::size_t m = std::min(batch_keys, n - start);
    if (many(m, a.keys.data() + start, a.lens.data() + start, data, lens) != 0)
      die("a batched lookup failed");
    for (std::size_t i = 0; i < m; i++) {
      if (data[i] == nullptr) continue;
      found++;
      *sum += static_cast<std::int64_t>(lens[i]) +
              (lens[i] == 0 ? 0 : *static_cast<const unsigned char*>(data[i]));
    }
  }
  return found;
}

std::size_t get_many_batches(const qef64_db* db, const key_arrays& a,
                             std::size_t first, std::size_t step,
                             std::int64_t* sum) {
  auto many = [db](std::size_t m, const void* const* keys,
                   const std::size_t* lens, const void** data,
                   std::size_t* data_lens) {
    return qef64_get_many(db, m, keys, lens, data, data_lens);
  };
  return many_batches(many, a, first, step, sum);
}

// b: qef64_get_many over batches of batch_keys; f: the same from two
// threads on one database, each taking every second batch.
void bm_get_many(benchmark::State& state, data_set* s, bool half_absent,
                 int threads) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".many.db";
  qef64_db* db = open_database(set, path);
  key_arrays a = arrays_of(probe_keys(set, half_absent));
  int passes = passes_for(set);
  for (auto _ : state) {
    std::vector<std::int64_t> sums(static_cast<std::size_t>(threads), 0);
    std::vector<std::size_t> found(static_cast<std::size_t>(threads), 0);
    auto work = [&](std::size_t i) {
      for (int pass = 0; pass < passes; pass++)
        found[i] += get_many_batches(db, a, i, sums.size(), &sums[i]);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; t++) {
      pool.emplace_back(work, static_cast<std::size_t>(t));
    }
    work(0);
    for (std::thread& th : pool)
      th.join();
    std::size_t total = 0;
    for (std::size_t f : found)
      total += f;
    expect_found(total / static_cast<std::size_t>(passes), set, half_absent);
    benchmark::DoNotOptimize(sums.data());
  }
  qef64_close(db);
  ::unlink(path.c_str());
  set_counts(state, set);
}

// Shards of the set that set_get_many reads.
constexpr std::size_t bench_set_shards = 32;

// g: qef64_set_get_many over batches of batch_keys, on a set of
// bench_set_shards shards built from the same records by the set builder.
void bm_set_get_many(benchmark::State& state, data_set* s, bool half_absent) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".set";
  qef64_set_builder* b = nullptr;
  int rc = qef64_set_builder_open(path.c_str(), bench_set_shards, &b);
  for (const record& r : set.records) {
    if (rc != 0) break;
    rc = qef64_set_builder_add(b, r.key.data(), r.key.size(), r.data.data(),
                               r.data.size());
  }
  if (rc == 0) rc = qef64_set_builder_commit(b);
  qef64_set* db = nullptr;
  if (rc == 0) rc = qef64_set_open(path.c_str(), &db);
  if (rc != 0) die(path + ": " + qef64_strerror(rc));
  key_arrays a = arrays_of(probe_keys(set, half_absent));
  auto many = [db](std::size_t m, const void* const* keys,
                   const std::size_t* lens, const void** data,
                   std::size_t* data_lens) {
    return qef64_set_get_many(db, m, keys, lens, data, data_lens);
  };
  for (auto _ : state) {
    std::int64_t sum = 0;
    std::size_t found = 0;
    for (int pass = passes_for(set); pass > 0; pass--)
      found += many_batches(many, a, 0, 1, &sum);
    expect_found(found / static_cast<std::size_t>(passes_for(set)), set,
                 half_absent);
    benchmark::DoNotOptimize(sum);
  }
  qef64_set_close(db);
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
  set_counts(state, set);
}

// e: the floor of a batched lookup, what memory allows without any lookup
// logic: per key two dependent reads of random 64-byte lines of an array
// as large as the database, with as many keys in flight as the engine's
// ring holds (16), each prefetched one visit ahead.
void bm_floor(benchmark::State& state, data_set* s) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".floor.db";
  qef64_build(set, path);
  struct stat st;
  if (::stat(path.c_str(), &st) == -1) die(path + ": stat");
  ::unlink(path.c_str());
  auto lines = static_cast<std::size_t>(st.st_size) / 64 + 1;
  std::vector<std::uint64_t> memory(lines * 8);
  std::mt19937_64 fill(7);
  for (std::uint64_t& w : memory)
    w = fill();
  constexpr int depth = 16;
  std::size_t n =
      set.present.size() * static_cast<std::size_t>(passes_for(set));
  for (auto _ : state) {
    std::uint64_t sum = 0;
    std::size_t line[depth];
    int stage[depth];
    std::size_t next = 0;
    int live = 0;
    for (int k = 0; k < depth && next < n; k++, live++) {
      line[k] = (next++ * 0x9E3779B97F4A7C15ULL >> 7) % lines;
      stage[k] = 0;
      __builtin_prefetch(&memory[line[k] * 8]);
    }
    while (live > 0) {
      for (int k = 0; k < depth; k++) {
        if (stage[k] < 0) continue;
        std::uint64_t v = memory[line[k] * 8];
        if (stage[k] == 0) {
          line[k] = v % lines;  // the second read depends on the first
          stage[k] = 1;
          __builtin_prefetch(&memory[line[k] * 8]);
          continue;
        }
        sum += v;
        if (next < n) {
          line[k] = (next++ * 0x9E3779B97F4A7C15ULL >> 7) % lines;
          stage[k] = 0;
          __builtin_prefetch(&memory[line[k] * 8]);
        } else {
          stage[k] = -1;
          live--;
        }
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  set_counts(state, set);
}

// ---- std::unordered_map: the in-memory ideal ----

using string_map = std::unordered_map<std::string, std::string>;

void map_fill(string_map* m, const data_set& set) {
  m->reserve(set.records.size());
  for (const record& r : set.records)
    m->emplace(r.key, r.data);
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

void bm_find_map(benchmark::State& state, data_set* s, bool half_absent,
                 bool batch_row) {
  const data_set& set = load(*s);
  string_map m;
  map_fill(&m, set);
  // The map's keys are std::string; the lookups' are made once, ahead.
  std::vector<std::string> keys;
  for (std::string_view k : probe_keys(set, half_absent))
    keys.emplace_back(k);
  for (auto _ : state) {
    for (int pass = batch_row ? passes_for(set) : 1; pass > 0; pass--) {
      std::int64_t sum = 0;
      std::size_t found = 0;
      for (const std::string& key : keys) {
        auto it = m.find(key);
        if (it == m.end()) continue;
        found++;
        const std::string& d = it->second;
        sum += static_cast<std::int64_t>(d.size()) +
               (d.empty() ? 0 : static_cast<unsigned char>(d[0]));
      }
      expect_found(found, set, half_absent);
      benchmark::DoNotOptimize(sum);
    }
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

void bm_find_lmdb(benchmark::State& state, data_set* s, bool half_absent,
                  bool batch_row) {
  const data_set& set = load(*s);
  std::string path = scratch_dir() + "/engine-" + set.name + ".find.mdb";
  MDB_env* env = lmdb_build(set, path);
  MDB_txn* txn;
  MDB_dbi dbi;
  lmdb_check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
  lmdb_check(mdb_dbi_open(txn, nullptr, 0, &dbi), "mdb_dbi_open");
  for (auto _ : state) {
    for (int pass = batch_row ? passes_for(set) : 1; pass > 0; pass--) {
      std::int64_t sum = 0;
      std::size_t found = 0;
      for (std::string_view key : probe_keys(set, half_absent)) {
        MDB_val k{key.size(), const_cast<char*>(key.data())};
        MDB_val v;
        int rc = mdb_get(txn, dbi, &k, &v);
        if (rc == MDB_NOTFOUND) continue;
        lmdb_check(rc, "mdb_get");
        found++;
        sum += static_cast<std::int64_t>(v.mv_size) +
               (v.mv_size == 0 ? 0 : *static_cast<unsigned char*>(v.mv_data));
      }
      expect_found(found, set, half_absent);
      benchmark::DoNotOptimize(sum);
    }
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
  sqlite_exec(db, "CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID");
  sqlite_exec(db, "BEGIN");
  sqlite3_stmt* insert;
  sqlite_check(db,
               sqlite3_prepare_v2(db, "INSERT INTO kv VALUES (?, ?)", -1,
                                  &insert, nullptr),
               SQLITE_OK, "prepare INSERT");
  for (const record& r : set.records) {
    sqlite3_bind_blob(insert, 1, r.key.data(), static_cast<int>(r.key.size()),
                      SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, r.data.data(), static_cast<int>(r.data.size()),
                      SQLITE_STATIC);
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
      const auto* v =
          static_cast<const unsigned char*>(sqlite3_column_blob(select, 0));
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

// a to f of the batched-lookup comparison, all keys present, then with
// half of them absent.
void register_batch(data_set* set) {
  for (bool half : {false, true}) {
    std::string n = (half ? "batch_half/" : "batch/") + set->name;
    configure(benchmark::RegisterBenchmark((n + "/get").c_str(), bm_get_loop,
                                           set, half));
    configure(benchmark::RegisterBenchmark((n + "/get_many").c_str(),
                                           bm_get_many, set, half, 1));
    configure(benchmark::RegisterBenchmark((n + "/set_get_many").c_str(),
                                           bm_set_get_many, set, half));
    configure(benchmark::RegisterBenchmark((n + "/unordered_map").c_str(),
                                           bm_find_map, set, half, true));
#ifdef QEF64_BENCH_LMDB
    configure(benchmark::RegisterBenchmark((n + "/lmdb").c_str(), bm_find_lmdb,
                                           set, half, true));
#endif
    if (!half) {
      configure(
          benchmark::RegisterBenchmark((n + "/floor").c_str(), bm_floor, set));
    }
    configure(benchmark::RegisterBenchmark((n + "/get_many_2threads").c_str(),
                                           bm_get_many, set, half, 2));
  }
}

void register_set(data_set* set) {
  if (set->batch_only) {
    register_batch(set);
    return;
  }
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
  configure(
      benchmark::RegisterBenchmark(("find/" + n + "/qef64_positional").c_str(),
                                   bm_find_qef64, set, false),
      true);
  configure(
      benchmark::RegisterBenchmark(("find/" + n + "/unordered_map").c_str(),
                                   bm_find_map, set, false, false));
#ifdef QEF64_BENCH_LMDB
  configure(benchmark::RegisterBenchmark(("find/" + n + "/lmdb").c_str(),
                                         bm_find_lmdb, set, false, false));
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
    const char* arg = argv[i];
    data_set s;
    // "batch:NAME=RECORDS": only the batched-lookup rows for this set.
    if (std::strncmp(arg, "batch:", 6) == 0) {
      s.batch_only = true;
      arg += 6;
    }
    const char* eq = std::strchr(arg, '=');
    if (eq == nullptr || eq == arg) {
      std::fprintf(stderr,
                   "usage: engine_bench [benchmark flags] "
                   "[batch:]NAME=RECORDS...\n");
      return 100;
    }
    s.name.assign(arg, static_cast<std::size_t>(eq - arg));
    s.records_path = eq + 1;
    sets.push_back(std::move(s));
  }
  for (data_set& s : sets)
    register_set(&s);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
