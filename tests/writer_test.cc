// The writer engine on real files, checked against offsets worked out by
// hand and against the independent decoder in tests/reference.h.

#include "db/writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "db/format.h"
#include "tests/process.h"
#include "tests/reference.h"

using namespace qef64;  // the engines and runtime under test

namespace {

using record = std::pair<std::string, std::string>;

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
std::int64_t len(const std::string& s) {
  return static_cast<std::int64_t>(s.size());
}

db_writer w;

class Writer : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    fd_ = open((dir_ + "/db").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_NE(fd_, -1);
    ASSERT_EQ(writer_start(&w, fd_), 0);
  }
  void TearDown() override {
    close(fd_);
    remove_tree(dir_);
  }
  std::string build(const std::vector<record>& records) {
    for (const auto& [k, d] : records) {
      EXPECT_EQ(writer_add(&w, bytes(k), len(k), bytes(d), len(d)), 0);
    }
    EXPECT_EQ(writer_finish(&w), 0);
    return read_file(dir_ + "/db");
  }
  std::string dir_;
  int fd_ = -1;
};

TEST_F(Writer, EmptyDatabaseIsAHeaderPointingAtItsEnd) {
  std::string f = build({});
  ASSERT_EQ(f.size(), 4096u);
  for (int t = 0; t < 256; t++) {
    EXPECT_EQ(reference::u64(f, 16 * t), 4096u);
    EXPECT_EQ(reference::u64(f, 16 * t + 8), 0u);
  }
}

TEST_F(Writer, OneRecordLayout) {
  std::string f = build({{"abc", "xyz"}});
  ASSERT_EQ(f.size(), 4150u);
  for (int t = 0; t < 256; t++) {
    EXPECT_EQ(reference::u64(f, 16 * t), t <= 133 ? 4118u : 4150u) << t;
    EXPECT_EQ(reference::u64(f, 16 * t + 8), t == 133 ? 2u : 0u) << t;
  }
  EXPECT_EQ(f.substr(4096, 22),
            std::string("\3\0\0\0\0\0\0\0\3\0\0\0\0\0\0\0abcxyz", 22));
  EXPECT_EQ(reference::u64(f, 4118), 193409669u);
  EXPECT_EQ(reference::u64(f, 4126), 4096u);
  EXPECT_EQ(f.substr(4134), std::string(16, '\0'));
}

TEST_F(Writer, ThreeRecordsOfOneKeyWrapInTheOrderAdded) {
  std::string f = build({{"abc", "1"}, {"abc", "2"}, {"abc", "3"}});
  ASSERT_EQ(f.size(), 4252u);
  EXPECT_EQ(reference::u64(f, 16 * 133), 4156u);
  EXPECT_EQ(reference::u64(f, 16 * 133 + 8), 6u);
  std::uint64_t expected[6] = {4136, 0, 0, 0, 4096, 4116};
  for (int s = 0; s < 6; s++) {
    EXPECT_EQ(reference::u64(f, 4156 + 16 * s + 8), expected[s]) << s;
  }
  EXPECT_EQ(reference::find(reference::parse(f), "abc"),
            (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(Writer, EmptyKeyGoesToTable5) {
  std::string f = build({{"", ""}, {"", "x"}});
  reference::database db = reference::parse(f);
  ASSERT_EQ(db.error, "");
  EXPECT_EQ(db.slot_count[5], 4u);
  // Start slot 21 mod 4 = 1.
  EXPECT_EQ(reference::u64(f, db.table_position[5] + 16 + 8), 4096u);
  EXPECT_EQ(reference::find(db, ""), (std::vector<std::string>{"", "x"}));
}

TEST_F(Writer, RandomRecordSetsDecodeAndFindInOrder) {
  std::mt19937 rng(7);
  std::vector<record> records;
  std::vector<std::string> keys;
  for (int i = 0; i < 2500; i++) {
    std::string k, d;
    if (!keys.empty() && rng() % 4 == 0) {
      k = keys[rng() % keys.size()];  // a duplicate key
    } else {
      for (unsigned n = rng() % 12; n > 0; n--)
        k += static_cast<char>(rng());
      keys.push_back(k);
    }
    for (unsigned n = rng() % 40; n > 0; n--)
      d += static_cast<char>(rng());
    records.push_back({k, d});
  }
  reference::database db = reference::parse(build(records));
  ASSERT_EQ(db.error, "");
  EXPECT_EQ(reference::first_misplaced_slot(db), -1);
  ASSERT_EQ(db.records.size(), records.size());
  for (const std::string& k : keys) {
    std::vector<std::string> expected;
    for (const auto& [rk, rd] : records) {
      if (rk == k) expected.push_back(rd);
    }
    EXPECT_EQ(reference::find(db, k), expected);
  }
}

// Thousands of records of one key, and of keys that share its start slot,
// probe past long runs of taken slots; each must still land in the first
// free slot from its start on, in the order added.
TEST_F(Writer, LongProbeRunsKeepTheSlotsOfLinearProbing) {
  std::vector<record> records;
  std::mt19937 rng(3);
  for (int i = 0; i < 6000; i++) {
    std::string k = rng() % 3 == 0 ? "k" + std::to_string(rng() % 500) : "same";
    records.push_back({k, std::to_string(i)});
    if (i % 1000 == 999) records.push_back({"", "empty " + std::to_string(i)});
  }
  reference::database db = reference::parse(build(records));
  ASSERT_EQ(db.error, "");
  EXPECT_EQ(reference::first_misplaced_slot(db), -1);
  std::vector<std::string> same;
  for (const auto& [k, d] : records) {
    if (k == "same") same.push_back(d);
  }
  EXPECT_EQ(reference::find(db, "same"), same);
}

TEST_F(Writer, EntryBlocksHoldAThousandRecords) {
  for (int i = 0; i < 1001; i++) {
    ASSERT_EQ(writer_add(&w, bytes("k"), 1, bytes(""), 0), 0);
    int blocks = 0;
    for (entry_block* b = w.blocks; b != nullptr; b = b->next)
      blocks++;
    ASSERT_EQ(blocks, i < 1000 ? 1 : 2) << i;
  }
  EXPECT_EQ(w.blocks->used, 1);
  EXPECT_EQ(w.blocks->next->used, 1000);
}

TEST_F(Writer, LengthsBeyondTheLimitAreOutOfMemory) {
  errno = 0;
  EXPECT_EQ(writer_add_begin(&w, db_max_position + 1, 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(writer_add_begin(&w, 0, db_max_position + 1), -1);
  EXPECT_EQ(w.out.pos, 0);  // nothing written
  // The largest length passes, but the record cannot fit in the file.
  ASSERT_EQ(writer_add_begin(&w, db_max_position, 0), 0);
  errno = 0;
  EXPECT_EQ(writer_add_end(&w, db_max_position, 0, 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(w.entry_count, 1);  // registered all the same
}

}  // namespace
