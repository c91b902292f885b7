// The structure calls of the library: files that are not databases refused
// at open (and still read by the programs as before), qef64_verify and
// qef64_get_info on real files, and qef64_replaced for a file rewritten in
// place.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <qef64/qef64.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/process.h"
#include "tests/reference.h"

namespace {

class Structure : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { remove_tree(dir_); }

  std::string path(const std::string& name) { return dir_ + "/" + name; }

  // 3000 records, many of a key added often, built by the library with a
  // budget that spills: the file is what qef64make makes.
  std::string build(const std::string& name) {
    qef64::builder b(path(name));
    b.set_memory(0);
    for (int i = 0; i < 3000; i++)
      b.add(i % 4 == 0 ? "often" : "k" + std::to_string(i), std::to_string(i));
    b.commit();
    return read_file(path(name));
  }

  // The result of opening the bytes by path and by descriptor, which must
  // agree.
  int open_result(const std::string& bytes) {
    write_file(path("x.db"), bytes);
    qef64_db* db = nullptr;
    int by_path = qef64_open(path("x.db").c_str(), &db);
    qef64_close(db);
    int fd = open(path("x.db").c_str(), O_RDONLY);
    int by_fd = qef64_open_fd(fd, &db);
    EXPECT_EQ(db == nullptr, by_fd != 0);
    qef64_close(db);
    close(fd);
    EXPECT_EQ(by_path, by_fd);
    return by_path;
  }

  std::string dir_;
};

TEST_F(Structure, FilesThatAreNoDatabaseAreRefusedAtOpen) {
  std::string sound = build("s.db");
  ASSERT_EQ(open_result(sound), 0);
  std::string text;
  for (int i = 0; text.size() < 20000; i++)
    text += "service" + std::to_string(i) + "\t" + std::to_string(i) + "/tcp\n";
  std::mt19937 gen(17);
  std::string random(1 << 20, '\0');
  for (char& c : random)
    c = static_cast<char>(gen());
  std::string zeroed = sound;
  zeroed.replace(0, 4096, 4096, '\0');
  std::string shifted = sound;
  shifted[200 * 16] = static_cast<char>(shifted[200 * 16] + 16);
  for (const auto& [name, bytes] :
       std::vector<std::pair<const char*, std::string>>{
           {"text", text},
           {"random", random},
           {"cut by one byte", sound.substr(0, sound.size() - 1)},
           {"cut in half", sound.substr(0, sound.size() / 2)},
           {"header alone", sound.substr(0, 4096)},
           {"descriptors zeroed", zeroed},
           {"table 200 shifted", shifted}}) {
    EXPECT_EQ(open_result(bytes), EPROTO) << name;
  }
  EXPECT_STREQ(qef64_strerror(EPROTO), "not a database, or a damaged one");
}

// 64 KiB of the tables zeroed leaves a header that describes the file: it
// opens, lookups miss, and qef64_verify finds the damage. The programs
// have no check at open, and read the file as they always did.
TEST_F(Structure, VerifyFindsWhatLookupsMiss) {
  std::string bytes = build("s.db");
  qef64::database sound(path("s.db"));
  EXPECT_FALSE(sound.verify().has_value());
  std::uint64_t tables = reference::u64(bytes, 0);
  ASSERT_GT(bytes.size() - tables, 65536u);
  bytes.replace(tables, 65536, 65536, '\0');
  write_file(path("z.db"), bytes);

  qef64::database db(path("z.db"));
  std::optional<qef64_problem> p = db.verify();
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->shard, static_cast<std::size_t>(-1));
  // The first table with records lost all its slots: its first record.
  EXPECT_GE(p->offset, 4096u);
  EXPECT_LT(p->offset, tables);
  EXPECT_STREQ(p->what, "no slot of its table names this record");
  EXPECT_EQ(qef64_verify(db.handle()), EPROTO);
  // By descriptor, through the mapping: the same problem.
  int fd = open(path("z.db").c_str(), O_RDONLY);
  qef64::database by_fd = qef64::database::from_fd(fd);
  close(fd);
  qef64_problem q;
  ASSERT_EQ(qef64_verify_problem(by_fd.handle(), &q), EPROTO);
  EXPECT_EQ(q.offset, p->offset);
  EXPECT_STREQ(q.what, p->what);

  run_options o;
  o.in = input_kind::file;
  run_result r = run({program("qef64test")}, bytes, o);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("not found: 0\n"), std::string::npos) << r.out;
}

TEST_F(Structure, InfoGivesSizesAndTheLongestProbe) {
  {
    qef64::builder b(path("one.db"));
    b.add("abc", "xyz");
    b.commit();
  }
  qef64_info i = qef64::database(path("one.db")).info();
  EXPECT_EQ(i.records, 1u);
  EXPECT_EQ(i.file_bytes, 4150u);
  EXPECT_EQ(i.record_bytes, 22u);
  EXPECT_EQ(i.table_bytes, 4096u + 32u);
  EXPECT_EQ(i.slots, 2u);
  EXPECT_EQ(i.longest_probe, 1u);
  // "often" 750 times: its last record is 750 slots from its start slot
  // at least.
  build("s.db");
  i = qef64::database(path("s.db")).info();
  EXPECT_EQ(i.records, 3000u);
  EXPECT_EQ(i.slots, 6000u);
  EXPECT_EQ(i.record_bytes + i.table_bytes, i.file_bytes);
  EXPECT_GE(i.longest_probe, 750u);
}

// cp writes into the file that the path names, under the open mapping:
// the inode stays, its size and times do not.
TEST_F(Structure, ReplacedWhenTheFileIsWrittenInPlace) {
  build("s.db");
  {
    qef64::builder b(path("other.db"));
    b.add("k", "another file");
    b.commit();
  }
  qef64::database db(path("s.db"));
  struct stat before;
  ASSERT_EQ(stat(path("s.db").c_str(), &before), 0);
  EXPECT_FALSE(db.replaced());
  ASSERT_EQ(run({"/bin/cp", path("other.db"), path("s.db")}, "").status, 0);
  struct stat after;
  ASSERT_EQ(stat(path("s.db").c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  EXPECT_TRUE(db.replaced());
  EXPECT_FALSE(qef64::database(path("s.db")).replaced());
}

}  // namespace
