// The structure calls of the library: files that are not databases refused
// at open.

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

}  // namespace
