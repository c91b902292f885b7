// The spill engine against the writer: the same records give the same file
// whatever the budget, and what goes wrong with the spill file comes back
// as its errno, never as a wrong file or a probe that does not end.

#include "db/spill.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "db/format.h"
#include "db/writer.h"
#include "tests/process.h"

using namespace qef64;  // the engines under test

namespace {

using record = std::pair<std::string, std::string>;

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
std::int64_t len(const std::string& s) {
  return static_cast<std::int64_t>(s.size());
}

// Thousands of records of one key, and groups of two-byte keys whose hashes
// are equal (so they share a table and a start slot), among random keys
// with duplicates, the empty key and binary bytes.
std::vector<record> crowded_records() {
  std::map<std::uint64_t, std::vector<std::string>> by_hash;
  for (int a = 0; a < 256; a++) {
    for (int b = 0; b < 256; b++) {
      std::string k = {static_cast<char>(a), static_cast<char>(b)};
      by_hash[db_hash(bytes(k), 2)].push_back(k);
    }
  }
  std::vector<std::string> shared;
  for (const auto& [h, keys] : by_hash) {
    if (keys.size() >= 4 && shared.size() < 400)
      shared.insert(shared.end(), keys.begin(), keys.end());
  }
  std::mt19937 rng(11);
  std::vector<record> records;
  for (int i = 0; i < 6000; i++) {
    std::string k;
    switch (rng() % 4) {
      case 0:
        k = "same";
        break;
      case 1:
        k = shared[rng() % shared.size()];
        break;
      case 2:
        k = i % 50 == 0 ? "" : "k" + std::to_string(rng() % 1500);
        break;
      default:
        for (unsigned n = rng() % 12; n > 0; n--)
          k += static_cast<char>(rng());
    }
    records.push_back({k, std::to_string(i)});
  }
  return records;
}

// Scripted calls for the spill file: EINTR and short counts, or a failure
// from call number fail_at on.
struct script {
  int calls = 0;
  int fail_at = -1;
  int error = 0;
  bool choppy = false;
};
script writes, reads;

std::int64_t scripted(script* s, std::int64_t fd, unsigned char* buf,
                      std::int64_t n, bool write) {
  int call = s->calls++;
  if (s->fail_at >= 0 && call >= s->fail_at) {
    errno = s->error;
    return -1;
  }
  if (s->choppy && call % 3 == 0) {
    errno = EINTR;
    return -1;
  }
  if (s->choppy && n > 5) n = call % 3 == 1 ? 5 : n - 1;
  return write ? write_op(fd, buf, n) : read_op(fd, buf, n);
}
std::int64_t scripted_write(std::int64_t fd, unsigned char* buf,
                            std::int64_t n) {
  return scripted(&writes, fd, buf, n, true);
}
std::int64_t scripted_read(std::int64_t fd, unsigned char* buf,
                           std::int64_t n) {
  return scripted(&reads, fd, buf, n, false);
}

class Spill : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override {
    spill_release(&sp_);
    writer_release(&w_);
    if (db_fd_ != -1) close(db_fd_);
    if (spill_fd_ != -1) close(spill_fd_);
    remove_tree(dir_);
  }

  // Starts the writer on a fresh database file and the spill with the
  // scripted calls, which pass everything (choppy
  // ones, if writes was choppy) until a test plans a failure.
  void start(std::int64_t memory) {
    if (db_fd_ != -1) close(db_fd_);
    db_fd_ = open((dir_ + "/db").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_NE(db_fd_, -1);
    ASSERT_EQ(writer_start(&w_, db_fd_), 0);
    if (spill_fd_ != -1) close(spill_fd_);
    spill_fd_ = -1;
    spill_start(&sp_, memory, open_spill, this);
    bool choppy = writes.choppy;
    writes = {.choppy = choppy};
    reads = {.choppy = choppy};
    sp_.write = scripted_write;
    sp_.read = scripted_read;
  }

  // Adds the records through the spill; the first failure, or 0.
  int add(const std::vector<record>& records, std::int64_t memory) {
    for (const auto& [k, d] : records) {
      writer_entry e;
      if (writer_put_record(&w_, bytes(k), len(k), bytes(d), len(d), &e) ==
              -1 ||
          spill_add(&sp_, e) == -1)
        return -1;
      // The buffers alone never take more than the budget.
      if (memory >= 8224) EXPECT_LE(sp_.buffered, memory);
    }
    return 0;
  }

  // The spill file, made when the first piece is written.
  static std::int64_t open_spill(void* context) {
    auto* test = static_cast<Spill*>(context);
    test->spill_fd_ =
        open((test->dir_ + "/spill").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    return test->spill_fd_;
  }

  std::string finish() {
    EXPECT_EQ(spill_finish(&sp_, &w_), 0) << std::strerror(errno);
    return read_file(dir_ + "/db");
  }

  std::string in_memory(const std::vector<record>& records) {
    int fd = open((dir_ + "/db").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(writer_start(&w_, fd), 0);
    for (const auto& [k, d] : records) {
      EXPECT_EQ(writer_add(&w_, bytes(k), len(k), bytes(d), len(d)), 0);
    }
    EXPECT_EQ(writer_finish(&w_), 0);
    close(fd);
    writer_release(&w_);
    return read_file(dir_ + "/db");
  }

  std::string dir_;
  int db_fd_ = -1;
  int spill_fd_ = -1;
  db_writer w_ = {};
  db_spill sp_ = {};
};

TEST_F(Spill, SameBytesAsTheWriterWhateverTheBudget) {
  const std::vector<record> sets[] = {
      crowded_records(), {}, {{"abc", "1"}, {"", "2"}, {"abc", "3"}}};
  for (const std::vector<record>& records : sets) {
    const std::string want = in_memory(records);
    for (std::int64_t memory : {std::int64_t{0}, std::int64_t{4096},
                                std::int64_t{65536}, spill_default_memory}) {
      SCOPED_TRACE(std::to_string(records.size()) + " records, memory " +
                   std::to_string(memory));
      start(memory);
      ASSERT_EQ(add(records, memory), 0) << std::strerror(errno);
      EXPECT_TRUE(finish() == want);
      // What went out came back, and only under a small budget.
      EXPECT_EQ(sp_.read_back, sp_.written);
      if (records.size() > 1000) {
        EXPECT_EQ(sp_.written > 0, memory < spill_default_memory);
      }
      spill_release(&sp_);
      writer_release(&w_);
    }
  }
}

TEST_F(Spill, InterruptedAndShortCallsChangeNothing) {
  const std::vector<record> records = crowded_records();
  const std::string want = in_memory(records);
  writes.choppy = reads.choppy = true;
  start(4096);
  ASSERT_EQ(add(records, 4096), 0) << std::strerror(errno);
  EXPECT_TRUE(finish() == want);
  EXPECT_GT(writes.calls, 1000);
  EXPECT_GT(reads.calls, 1000);
}

// A full disk while spilling, and while writing out at the end; a failed
// read; a spill file cut short or changed behind the engine's back.
TEST_F(Spill, FailuresComeBackWithTheirErrno) {
  const std::vector<record> records = crowded_records();
  for (int at : {0, 100}) {
    start(4096);
    writes.fail_at = at;
    writes.error = ENOSPC;
    errno = 0;
    EXPECT_EQ(add(records, 4096), -1);
    EXPECT_EQ(errno, ENOSPC);
    spill_release(&sp_);
  }
  // Written out at the end: the budget held while adding, but placing the
  // largest table needs room that buffers must give up.
  start(1 << 20);
  ASSERT_EQ(add(records, 1 << 20), 0);
  sp_.memory = 65536;
  writes.fail_at = 0;
  writes.error = ENOSPC;
  EXPECT_EQ(spill_finish(&sp_, &w_), -1);
  EXPECT_EQ(errno, ENOSPC);
  spill_release(&sp_);

  auto finish_fails = [&](auto&& damage, int error) {
    start(4096);
    ASSERT_EQ(add(records, 4096), 0);
    damage();
    errno = 0;
    EXPECT_EQ(spill_finish(&sp_, &w_), -1);
    EXPECT_EQ(errno, error);
    spill_release(&sp_);
  };
  finish_fails(
      [] {
        reads.fail_at = 3;
        reads.error = EIO;
      },
      EIO);
  finish_fails([&] { ASSERT_EQ(ftruncate(spill_fd_, sp_.written / 2), 0); },
               EIO);
  // The first piece claims one entry more than it has: the head of the
  // next piece would be placed as an entry.
  finish_fails(
      [&] {
        writer_entry head;
        ASSERT_EQ(pread(spill_fd_, &head, sizeof head, 0), 16);
        head.record_position++;
        ASSERT_EQ(pwrite(spill_fd_, &head, sizeof head, 0), 16);
      },
      EIO);

  // No file could hold another entry.
  start(4096);
  sp_.entry_count = spill_max_entries;
  EXPECT_EQ(spill_add(&sp_, {5381, 4096}), -1);
  EXPECT_EQ(errno, ENOMEM);
  static_assert(db_header_size + 48 * (spill_max_entries + 1) >
                db_max_position);
}

}  // namespace
