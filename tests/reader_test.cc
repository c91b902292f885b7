// The reader engine on real files, each case run mapped and again positional
// (after reader_free), which must agree on results and probe_count.

#include "db/reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "db/format.h"
#include "db/writer.h"
#include "tests/process.h"

using namespace qef64;  // the engines and runtime under test

namespace {

using record = std::pair<std::string, std::string>;

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
std::int64_t len(const std::string& s) {
  return static_cast<std::int64_t>(s.size());
}

std::string u64le(std::uint64_t v) {
  std::string s(8, '\0');
  store_u64le(reinterpret_cast<unsigned char*>(s.data()), v);
  return s;
}

class Reader : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override {
    if (fd_ != -1) close(fd_);
    reader_free(&r_);
    remove_tree(dir_);
  }

  // Builds a database with the writer and opens it in the mode under test.
  void build(const std::vector<record>& records) {
    std::string path = dir_ + "/db";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_NE(fd, -1);
    static db_writer w;
    ASSERT_EQ(writer_start(&w, fd), 0);
    for (const auto& [k, d] : records) {
      ASSERT_EQ(writer_add(&w, bytes(k), len(k), bytes(d), len(d)), 0);
    }
    ASSERT_EQ(writer_finish(&w), 0);
    close(fd);
    open_bytes(read_file(path));
  }

  // Opens a file holding exactly these bytes.
  void open_bytes(const std::string& file) {
    std::string path = dir_ + "/raw";
    write_file(path, file);
    if (fd_ != -1) close(fd_);
    fd_ = open(path.c_str(), O_RDONLY);
    ASSERT_NE(fd_, -1);
    reader_init(&r_, fd_);
    if (positional()) reader_free(&r_);
    EXPECT_EQ(r_.map_addr == nullptr, positional() || file.empty());
  }

  bool positional() const { return GetParam(); }

  // reader_prefetch is a hint: whatever the file holds, the reader and
  // errno are as they were.
  void prefetch_changes_nothing(const std::string& key) {
    db_reader before = r_;
    errno = 0;
    reader_prefetch(&r_, bytes(key), len(key));
    EXPECT_EQ(std::memcmp(&before, &r_, sizeof r_), 0);
    EXPECT_EQ(errno, 0);
  }

  // The data of the record found last.
  std::string data() {
    std::string d(static_cast<std::size_t>(reader_data_len(&r_)), '\0');
    EXPECT_EQ(reader_read(&r_, reinterpret_cast<unsigned char*>(d.data()),
                          len(d), reader_data_pos(&r_)),
              0);
    return d;
  }

  // Every record of the key, resuming until the lookup ends.
  std::vector<std::string> all(const std::string& key) {
    std::vector<std::string> found;
    reader_find_start(&r_);
    for (int i = 0; i < 1000; i++) {
      int res = reader_find_next(&r_, bytes(key), len(key));
      EXPECT_NE(res, -1) << std::strerror(errno);
      if (res != 1) break;
      found.push_back(data());
    }
    return found;
  }

  std::string dir_;
  int fd_ = -1;
  db_reader r_{};
};

INSTANTIATE_TEST_SUITE_P(Modes, Reader, ::testing::Values(false, true),
                         [](const auto& info) {
                           return info.param ? "Positional" : "Mapped";
                         });

TEST_P(Reader, FindsEveryRecordOfAKeyInOrderThenStaysAtZero) {
  build({{"abc", "1"}, {"x", "y"}, {"abc", "2"}, {"", "empty"}, {"abc", "3"}});
  EXPECT_EQ(all("abc"), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(reader_find_next(&r_, bytes("abc"), 3), 0);
  EXPECT_EQ(all(""), (std::vector<std::string>{"empty"}));
  EXPECT_EQ(reader_data_pos(&r_), 4096 + 20 + 18 + 20 + 16);
  EXPECT_EQ(all("ab"), std::vector<std::string>{});
  EXPECT_EQ(all("x"), (std::vector<std::string>{"y"}));
}

TEST_P(Reader, PrefetchChangesNoResult) {
  build({{"a", "1"}, {"b", "2"}, {"a", "3"}});
  prefetch_changes_nothing("a");
  EXPECT_EQ(all("a"), (std::vector<std::string>{"1", "3"}));
  // Between the calls of one lookup as well.
  reader_find_start(&r_);
  ASSERT_EQ(reader_find_next(&r_, bytes("a"), 1), 1);
  prefetch_changes_nothing("b");
  ASSERT_EQ(reader_find_next(&r_, bytes("a"), 1), 1);
  EXPECT_EQ(data(), "3");
  // Files too short for a header, or for the slot a table names.
  for (std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{4095},
                           std::size_t{4096}}) {
    std::string f(size, '\x7f');
    open_bytes(f);
    prefetch_changes_nothing("a");
    prefetch_changes_nothing("");
  }
}

TEST_P(Reader, ComparesKeysInChunksUpToTheLastByte) {
  std::string k32(32, 'k'), k33(33, 'k'), other33 = k33;
  other33.back() = 'z';
  build({{k32, "32"}, {k33, "33"}});
  EXPECT_EQ(all(k32), std::vector<std::string>{"32"});
  EXPECT_EQ(all(k33), std::vector<std::string>{"33"});
  EXPECT_EQ(all(other33), std::vector<std::string>{});
}

TEST_P(Reader, ProbeCountCountsNonEmptySlotsExamined) {
  build({{"abc", "1"}, {"abc", "2"}, {"abc", "3"}});
  // Table 133 has 6 slots; abc starts at slot 4 and wraps to slot 0.
  ASSERT_EQ(reader_find(&r_, bytes("abc"), 3), 1);
  EXPECT_EQ(r_.probe_count, 1);
  ASSERT_EQ(reader_find_next(&r_, bytes("abc"), 3), 1);
  ASSERT_EQ(reader_find_next(&r_, bytes("abc"), 3), 1);
  EXPECT_EQ(r_.probe_count, 3);
  EXPECT_EQ(r_.next_slot_pos, r_.table_pos + 16);
  EXPECT_EQ(data(), "3");
  // Slot 1 is empty: the lookup ends there and stays there.
  EXPECT_EQ(reader_find_next(&r_, bytes("abc"), 3), 0);
  EXPECT_EQ(reader_find_next(&r_, bytes("abc"), 3), 0);
  EXPECT_EQ(r_.probe_count, 3);
}

// Hand-made file: one table of `slots` slots at the end, for hashes and
// positions a writer would never produce.
std::string craft(
    std::uint64_t table, std::int64_t slots, const std::vector<record>& records,
    const std::vector<std::pair<std::uint64_t, std::int64_t>>& table_slots) {
  std::string body;
  for (const auto& [k, d] : records) {
    body += u64le(k.size()) + u64le(d.size()) + k + d;
  }
  std::uint64_t end = 4096 + body.size();
  std::string header;
  for (std::uint64_t t = 0; t < 256; t++) {
    header +=
        u64le(end) + u64le(t == table ? static_cast<std::uint64_t>(slots) : 0);
  }
  std::string tables;
  for (const auto& [h, p] : table_slots) {
    tables += u64le(h) + u64le(static_cast<std::uint64_t>(p));
  }
  return header + body + tables;
}

TEST_P(Reader, FullTableWithoutTheKeyEndsAfterEverySlot) {
  // Both slots hold abc's hash but another key of the same length.
  std::uint64_t h = db_hash(bytes("abc"), 3);
  open_bytes(craft(h % 256, 2, {{"abd", "1"}, {"abe", "2"}},
                   {{h, 4096}, {h, 4096 + 20}}));
  EXPECT_EQ(reader_find(&r_, bytes("abc"), 3), 0);
  EXPECT_EQ(r_.probe_count, 2);
  EXPECT_EQ(reader_find_next(&r_, bytes("abc"), 3), 0);
}

// A three-byte key whose probe starts at `slot` of a table of n slots.
std::string key_starting_at(std::int64_t slot, std::int64_t n) {
  for (int i = 0;; i++) {
    std::string k = "k" + std::to_string(100 + i);
    if (db_hash_start_slot(db_hash(bytes(k), len(k)), n) == slot) return k;
  }
}

TEST_P(Reader, CollidingFullHashesAreToldApartByTheKey) {
  std::string key = key_starting_at(1, 4);
  std::uint64_t h = db_hash(bytes(key), len(key));
  // Both records carry the key's full hash and length; only the bytes differ.
  open_bytes(craft(h % 256, 4, {{"zzzz", "other"}, {key, "mine"}},
                   {{0, 0}, {h, 4096}, {h, 4096 + 25}, {0, 0}}));
  ASSERT_EQ(reader_find(&r_, bytes(key), len(key)), 1);
  EXPECT_EQ(r_.probe_count, 2);
  EXPECT_EQ(data(), "mine");
  EXPECT_EQ(reader_find_next(&r_, bytes(key), len(key)), 0);
}

TEST_P(Reader, StartAtTheLastSlotWrapsToTheFirst) {
  std::string key = key_starting_at(3, 4);
  std::uint64_t h = db_hash(bytes(key), len(key));
  // Slot 3 holds another hash, slot 0 the key, slots 1 and 2 are empty.
  open_bytes(craft(h % 256, 4, {{key, "mine"}, {"q", "r"}},
                   {{h, 4096}, {0, 0}, {0, 0}, {h + 256, 4096 + 24}}));
  ASSERT_EQ(reader_find(&r_, bytes(key), len(key)), 1);
  EXPECT_EQ(r_.probe_count, 2);
  EXPECT_EQ(data(), "mine");
  EXPECT_EQ(reader_find_next(&r_, bytes(key), len(key)), 0);
  EXPECT_EQ(r_.next_slot_pos, r_.table_pos + 16);
}

TEST_P(Reader, ReadsAreBoundedByTheFile) {
  build({{"k", "v"}});
  std::int64_t size = 4096 + 18 + 32;
  unsigned char buf[64];
  EXPECT_EQ(reader_read(&r_, buf, 16, size - 16), 0);
  EXPECT_EQ(reader_read(&r_, buf, 0, size), 0);
  for (auto [n, pos] :
       std::vector<std::pair<std::int64_t, std::int64_t>>{{17, size - 16},
                                                          {1, size},
                                                          {-1, 0},
                                                          {1, -1},
                                                          {1, INT64_MAX},
                                                          {1, INT64_MAX - 1}}) {
    errno = 0;
    EXPECT_EQ(reader_read(&r_, buf, n, pos), -1) << n << " at " << pos;
    EXPECT_EQ(errno, EPROTO) << n << " at " << pos;
  }
  // Only a mapping knows the size up front; a positional read of this much
  // would fill the caller's buffer up to the end of the file first.
  if (!positional()) EXPECT_EQ(reader_read(&r_, buf, INT64_MAX, 1), -1);
}

TEST_P(Reader, TruncatedFilesFailOnlyWhereTheyAreRead) {
  build({{"k", "v"}});
  std::string whole = read_file(dir_ + "/db");
  open_bytes(whole.substr(0, 4096));
  errno = 0;
  EXPECT_EQ(reader_find(&r_, bytes("k"), 1), -1);
  EXPECT_EQ(errno, EPROTO);
  EXPECT_EQ(reader_find(&r_, bytes("absent-table"), 12), 0);
  open_bytes("");
  EXPECT_EQ(reader_find(&r_, bytes("k"), 1), -1);
  EXPECT_EQ(errno, EPROTO);
}

// Values no writer produces, each of which would overflow the slot or
// record arithmetic if taken at face value: refused as outside the file,
// without a hang.
TEST_P(Reader, HostilePositionsAndCountsGiveProtocolErrors) {
  std::uint64_t h = db_hash(bytes("k"), 1);
  auto with_table = [&](std::uint64_t pos, std::uint64_t slots) {
    std::string f = craft(h % 256, 0, {{"k", "v"}}, {});
    std::string d = u64le(pos) + u64le(slots);
    f.replace(16 * (h % 256), 16, d);
    return f;
  };
  const std::uint64_t top = std::uint64_t{1} << 63;
  for (auto [pos, slots] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
           {top - 16, 1},          // the slot ends past 2^63 - 1
           {4096, top / 16},       // 16 * slots does not fit
           {4096, (top - 1) / 8},  // wraps early: a 2^60-probe loop
           {top + 5, 2},           // a negative table position
           {1, (top - 1) / 16 + 1}}) {
    open_bytes(with_table(pos, slots));
    prefetch_changes_nothing("k");
    errno = 0;
    EXPECT_EQ(reader_find(&r_, bytes("k"), 1), -1) << pos << " " << slots;
    EXPECT_EQ(errno, EPROTO);
  }
  // A record position near 2^63: the header read fails, nothing overflows.
  std::string f =
      craft(h % 256, 2, {{"k", "v"}}, {{h, INT64_MAX - 3}, {h, INT64_MAX - 3}});
  open_bytes(f);
  prefetch_changes_nothing("k");
  EXPECT_EQ(reader_find(&r_, bytes("k"), 1), -1);
  EXPECT_EQ(errno, EPROTO);
  // Negative slot counts and record positions mean no record.
  open_bytes(with_table(4096, top + 2));
  EXPECT_EQ(reader_find(&r_, bytes("k"), 1), 0);
  open_bytes(craft(h % 256, 2, {{"k", "v"}}, {{h, -4096}, {h, -4096}}));
  EXPECT_EQ(reader_find(&r_, bytes("k"), 1), 0);
  EXPECT_EQ(r_.probe_count, 0);
}

TEST(ReaderInit, PipesAreReadByPositionAndFailWithTheSeekError) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  db_reader r{};
  reader_init(&r, p[0]);
  EXPECT_EQ(r.map_addr, nullptr);
  errno = 0;
  EXPECT_EQ(reader_find(&r, bytes("k"), 1), -1);
  EXPECT_EQ(errno, ESPIPE);
  close(p[0]);
  close(p[1]);
}

TEST(ReaderInit, RemapsAfterReleasingTheOldMapping) {
  std::string dir = make_temp_dir();
  write_file(dir + "/a", std::string(4096, '\0'));
  int fd = open((dir + "/a").c_str(), O_RDONLY);
  db_reader r{};
  reader_init(&r, fd);
  const unsigned char* first = r.map_addr;
  ASSERT_NE(first, nullptr);
  reader_init(&r, fd);
  ASSERT_NE(r.map_addr, nullptr);
  EXPECT_EQ(r.map_size, 4096);
  EXPECT_EQ(reader_find(&r, bytes("k"), 1), 0);
  reader_free(&r);
  EXPECT_EQ(r.map_addr, nullptr);
  close(fd);
  remove_tree(dir);
}

}  // namespace
