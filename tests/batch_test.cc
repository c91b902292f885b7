// qef64_get_many against qef64_get, key by key, on databases made to hold
// what a batched lookup can get wrong: duplicates, the empty key, keys with
// equal full hashes, shared start slots, long probe runs, tables whose probe
// wraps, absent keys, records and probe runs across page boundaries, and
// files damaged at random. The engine's batch is compared too, with its
// pages fetched from memory and read in from the device alike.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <qef64/qef64.hpp>
#include <random>
#include <string>
#include <vector>

#include "db/reader.h"
#include "tests/process.h"
#include "tests/reference.h"

namespace {

// Two different two-byte keys with the same full hash, found by search.
std::pair<std::string, std::string> colliding_keys() {
  std::map<std::uint64_t, std::string> seen;
  for (int a = 0; a < 256; a++) {
    for (int b = 0; b < 256; b++) {
      std::string k{static_cast<char>(a), static_cast<char>(b)};
      auto [it, fresh] = seen.emplace(reference::hash(k), k);
      if (!fresh) return {it->second, k};
    }
  }
  return {};
}

// Every key of the database plus absent ones, in a random order, with
// repeats.
std::vector<std::string> probe_keys(const std::vector<std::string>& present,
                                    std::mt19937& gen) {
  std::vector<std::string> keys = present;
  for (int i = 0; i < 50; i++)
    keys.push_back("absent" + std::to_string(i));
  for (int i = 0; i < 20 && !present.empty(); i++)
    keys.push_back(present[gen() % present.size()]);
  std::shuffle(keys.begin(), keys.end(), gen);
  return keys;
}

// Looks every key up both ways and compares results, pointers and lengths.
void compare(const qef64_db* db, const std::vector<std::string>& keys) {
  std::size_t n = keys.size();
  std::vector<const void*> ptrs(n), data(n);
  std::vector<std::size_t> lens(n), data_lens(n);
  for (std::size_t i = 0; i < n; i++) {
    ptrs[i] = keys[i].data();
    lens[i] = keys[i].size();
  }
  int many = qef64_get_many(db, n, ptrs.data(), lens.data(), data.data(),
                            data_lens.data());
  int first_failure = 0;
  for (std::size_t i = 0; i < n; i++) {
    const void* one;
    std::size_t one_len;
    int rc = qef64_get(db, ptrs[i], lens[i], &one, &one_len);
    if (rc > 0 && first_failure == 0) first_failure = rc;
    ASSERT_EQ(data[i], one) << i;
    ASSERT_EQ(data_lens[i], one_len) << i;
  }
  EXPECT_EQ(many, first_failure);
}

// The engine's batch in both fetch modes against reader_find, key by key:
// the same records, as offsets in the file, and the same first failure.
void compare_fetches(const std::string& path,
                     const std::vector<std::string>& keys) {
  int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_NE(fd, -1);
  qef64::db_reader r{};
  ASSERT_EQ(qef64::reader_map(&r, fd), 0);
  std::size_t n = keys.size();
  std::vector<const void*> ptrs(n);
  std::vector<std::size_t> lens(n);
  std::size_t first_failed = n;
  std::vector<std::int64_t> want(n, -1), want_len(n, 0);
  for (std::size_t i = 0; i < n; i++) {
    ptrs[i] = keys[i].data();
    lens[i] = keys[i].size();
    qef64::db_reader one = r;
    int found = qef64::reader_find(
        &one, reinterpret_cast<const unsigned char*>(keys[i].data()),
        static_cast<std::int64_t>(keys[i].size()));
    bool inside = found == 1 && one.data_pos >= 0 && one.data_len >= 0 &&
                  one.data_pos <= r.map_size &&
                  r.map_size - one.data_pos >= one.data_len;
    if ((found == -1 || (found == 1 && !inside)) && first_failed == n)
      first_failed = i;
    if (inside) {
      want[i] = one.data_pos;
      want_len[i] = one.data_len;
    }
  }
  for (auto fetch : {qef64::batch_fetch::memory, qef64::batch_fetch::device}) {
    std::vector<const void*> data(n);
    std::vector<std::size_t> data_lens(n);
    std::size_t failed = qef64::reader_find_many(
        &r, nullptr, nullptr, n, ptrs.data(), lens.data(), data.data(),
        data_lens.data(), fetch);
    EXPECT_EQ(failed, first_failed);
    for (std::size_t i = 0; i < n; i++) {
      std::int64_t at =
          data[i] == nullptr
              ? -1
              : static_cast<const unsigned char*>(data[i]) - r.map_addr;
      ASSERT_EQ(at, want[i]) << i;
      ASSERT_EQ(static_cast<std::int64_t>(data_lens[i]), want_len[i]) << i;
    }
  }
  qef64::reader_free(&r);
  ::close(fd);
}

class Batch : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { remove_tree(dir_); }

  // A database of n records over a small key space, so that keys repeat
  // and collide in small tables, with the colliding pair and the empty key.
  std::vector<std::string> build(int n, std::mt19937& gen) {
    auto [c1, c2] = colliding_keys();
    std::vector<std::string> keys;
    qef64::builder b(dir_ + "/b.db");
    for (int i = 0; i < n; i++) {
      std::string key = i % 11 == 0   ? c1
                        : i % 11 == 1 ? c2
                        : i % 11 == 2
                            ? ""
                            : "k" + std::to_string(gen() % (n / 2 + 1));
      b.add(key, std::to_string(i));
      keys.push_back(key);
    }
    // One key many times: a long probe run through its table.
    for (int i = 0; i < 300; i++)
      b.add("many", std::to_string(i));
    keys.push_back("many");
    b.commit();
    return keys;
  }

  std::string dir_;
};

TEST_F(Batch, AgreesWithSingleLookupsOnSoundFiles) {
  std::mt19937 gen(7);
  for (int n : {1, 2, 5, 40, 700, 5000}) {
    std::vector<std::string> keys = probe_keys(build(n, gen), gen);
    qef64::database db(dir_ + "/b.db");
    compare(db.handle(), keys);
    compare(db.handle(), {});
    compare_fetches(dir_ + "/b.db", keys);
  }
}

// Keys and data from a few bytes to several pages, so that records, keys
// and the data the caller reads cross page boundaries anywhere, and a
// thousand records of one key in a probe run over many pages of its table.
TEST_F(Batch, AgreesAcrossPageBoundaries) {
  std::mt19937 gen(3);
  std::vector<std::string> keys;
  {
    qef64::builder b(dir_ + "/p.db");
    for (int i = 0; i < 3000; i++) {
      std::size_t klen = i % 7 == 0 ? 4000 + gen() % 5000 : 1 + gen() % 40;
      std::size_t dlen = i % 5 == 0 ? gen() % 20000 : gen() % 100;
      std::string key(klen, static_cast<char>('a' + i % 26));
      key += std::to_string(i);
      b.add(key, std::string(dlen, 'd'));
      keys.push_back(key);
    }
    for (int i = 0; i < 1000; i++)
      b.add("run", std::to_string(i));
    keys.push_back("run");
    b.commit();
  }
  keys = probe_keys(keys, gen);
  qef64::database db(dir_ + "/p.db");
  compare(db.handle(), keys);
  compare_fetches(dir_ + "/p.db", keys);
}

// Damage in the tables and records: each lookup must fail, miss or find
// exactly as alone, and the batch report the first failure.
TEST_F(Batch, AgreesWithSingleLookupsOnDamagedFiles) {
  std::mt19937 gen(11);
  std::vector<std::string> keys = probe_keys(build(300, gen), gen);
  std::string sound = read_file(dir_ + "/b.db");
  for (int round = 0; round < 300; round++) {
    std::string bytes = sound;
    for (int hits = 1 + round % 4; hits > 0; hits--) {
      std::size_t at = 4096 + gen() % (bytes.size() - 4096);
      bytes[at] = static_cast<char>(round % 3 == 0 ? 0xff : gen());
    }
    // A cut file no longer opens: its header does not describe it.
    if (round % 10 == 0) {
      bytes.resize(4096 + gen() % (bytes.size() - 4096));
      write_file(dir_ + "/d.db", bytes);
      qef64_db* db = nullptr;
      EXPECT_EQ(qef64_open((dir_ + "/d.db").c_str(), &db), EPROTO);
      continue;
    }
    write_file(dir_ + "/d.db", bytes);
    qef64::database db(dir_ + "/d.db");
    compare(db.handle(), keys);
    compare_fetches(dir_ + "/d.db", keys);
  }
}

// One batch over several files: key i in file i % 3, against single
// lookups in that file; a damaged file among them fails its keys alone.
TEST_F(Batch, ManyDatabasesInOneBatch) {
  std::mt19937 gen(5);
  std::vector<std::string> keys = probe_keys(build(400, gen), gen);
  std::string bytes = read_file(dir_ + "/b.db");
  write_file(dir_ + "/same.db", bytes);
  // Every fifth record's slot pointing past the end of the file.
  std::uint64_t tables = reference::u64(bytes, 0);
  for (std::size_t at = tables + 8, n = 0; at < bytes.size(); at += 16) {
    if (reference::u64(bytes, at) != 0 && n++ % 5 == 0) bytes[at + 5] = 0x10;
  }
  write_file(dir_ + "/far.db", bytes);
  qef64::database a(dir_ + "/b.db"), same(dir_ + "/same.db"),
      far(dir_ + "/far.db");
  const qef64_db* files[3] = {a.handle(), same.handle(), far.handle()};
  std::size_t n = keys.size();
  std::vector<const qef64_db*> dbs(n);
  std::vector<const void*> ptrs(n), data(n);
  std::vector<std::size_t> lens(n), data_lens(n);
  for (std::size_t i = 0; i < n; i++) {
    dbs[i] = files[i % 3];
    ptrs[i] = keys[i].data();
    lens[i] = keys[i].size();
  }
  int many = qef64_get_many_in(dbs.data(), n, ptrs.data(), lens.data(),
                               data.data(), data_lens.data());
  int first_failure = 0;
  for (std::size_t i = 0; i < n; i++) {
    const void* one;
    std::size_t one_len;
    int rc = qef64_get(dbs[i], ptrs[i], lens[i], &one, &one_len);
    if (rc > 0 && first_failure == 0) first_failure = rc;
    ASSERT_EQ(data[i], one) << i;
    ASSERT_EQ(data_lens[i], one_len) << i;
  }
  EXPECT_EQ(first_failure, EPROTO);
  EXPECT_EQ(many, first_failure);
}

// A slot naming a record whose 16-byte header the end of the file cuts off:
// the header is not read at all, and the lookup fails in both ways.
TEST_F(Batch, RecordHeaderCutOffByTheEndOfTheFile) {
  {
    qef64::builder b(dir_ + "/c.db");
    b.add("",
          "x");  // table 5, 2 slots, the last table: its slot 1 ends the file
    b.commit();
  }
  std::string bytes = read_file(dir_ + "/c.db");
  std::uint64_t cut = bytes.size() - 8;
  for (int k = 0; k < 8; k++)
    bytes[bytes.size() - 8 + k] = static_cast<char>(cut >> (8 * k));
  write_file(dir_ + "/c.db", bytes);
  qef64::database db(dir_ + "/c.db");
  const void* data;
  std::size_t len;
  EXPECT_EQ(qef64_get(db.handle(), "", 0, &data, &len), EPROTO);
  compare(db.handle(), {"", "x", ""});
}

}  // namespace
