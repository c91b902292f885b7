// Warming and residency through the C interface: qef64_open_ex's flags and
// their failures, what qef64_resident counts, and a background warming that
// qef64_close stops.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <qef64/qef64.hpp>
#include <sstream>
#include <string>

#include "tests/process.h"

namespace {

class Cold : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    path_ = dir_ + "/c.db";
    qef64::builder b(path_);
    // About 3 MB of records and 1 MB of tables.
    for (int i = 0; i < 30000; i++)
      b.add("key" + std::to_string(i), std::string(90, 'v'));
    b.commit();
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    size_ = static_cast<std::uint64_t>(st.st_size);
    std::string bytes = read_file(path_);
    records_end_ = 0;
    for (int k = 0; k < 8; k++)
      records_end_ |= std::uint64_t{static_cast<unsigned char>(bytes[k])}
                      << (8 * k);
  }
  void TearDown() override { remove_tree(dir_); }

  // Drops the file's pages from the page cache (clean and not mapped, they
  // all go), so that what is resident afterwards is what a call read.
  void evict() {
    int fd = ::open(path_.c_str(), O_RDONLY);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
    ::close(fd);
  }

  std::string dir_, path_;
  std::uint64_t size_ = 0, records_end_ = 0;
};

TEST_F(Cold, FlagsThatMakeNoSenseAreRefused) {
  qef64_db* db = reinterpret_cast<qef64_db*>(1);
  EXPECT_EQ(qef64_open_ex(path_.c_str(), 0x100, &db), EINVAL);
  EXPECT_EQ(db, nullptr);
  EXPECT_EQ(qef64_open_ex(path_.c_str(), QEF64_WARM_BACKGROUND, &db), EINVAL);
  EXPECT_EQ(qef64_open_ex((dir_ + "/none").c_str(), QEF64_WARM_ALL, &db),
            ENOENT);
  EXPECT_EQ(qef64_open_ex(path_.c_str(), 0, &db), 0);
  qef64_close(db);
}

// Residency counts bytes of each part, the header with the tables; warming
// the tables brings in all of them, and of the 3 MB of records only what
// the kernel reads ahead of the header (a few pages).
TEST_F(Cold, WarmingTheTablesMakesThemResident) {
  evict();
  qef64_db* db;
  ASSERT_EQ(qef64_open_ex(path_.c_str(), QEF64_WARM_TABLES, &db), 0);
  std::uint64_t tables = 0, records = 0;
  ASSERT_EQ(qef64_resident(db, &tables, &records), 0);
  EXPECT_EQ(tables, 4096 + (size_ - records_end_));
  EXPECT_LE(records, 65536u);
  // Every record read through the lookups' mapping is counted too.
  for (int i = 0; i < 30000; i += 97) {
    std::string key = "key" + std::to_string(i);
    const void* data;
    std::size_t len;
    ASSERT_EQ(qef64_get(db, key.data(), key.size(), &data, &len), 0);
  }
  std::uint64_t after = 0;
  ASSERT_EQ(qef64_resident(db, nullptr, &after), 0);
  EXPECT_GT(after, records);
  qef64_close(db);

  ASSERT_EQ(qef64_open_ex(path_.c_str(), QEF64_WARM_ALL, &db), 0);
  ASSERT_EQ(qef64_resident(db, &tables, &records), 0);
  EXPECT_EQ(tables + records, size_);
  qef64_close(db);
}

// Warmed tables are mapped in as well as read: a lookup then takes no page
// fault on its slots, which costs a cold lookup as much as the device's
// read of its record on some machines. The most of the file this process
// has mapped in (/proc/self/smaps: Rss of its mappings of the file).
std::uint64_t mapped_in(const std::string& path) {
  std::istringstream smaps(read_file("/proc/self/smaps"));
  std::uint64_t most = 0;
  bool ours = false;
  for (std::string line; std::getline(smaps, line);) {
    if (line.size() > path.size() &&
        line.compare(line.size() - path.size(), path.size(), path) == 0)
      ours = true;
    else if (line.rfind("Rss:", 0) == 0 && ours)
      most = std::max<std::uint64_t>(most, std::stoull(line.substr(4)) * 1024);
    else if (line.rfind("VmFlags:", 0) == 0)
      ours = false;
  }
  return most;
}

TEST_F(Cold, WarmedTablesAreMappedIn) {
  qef64_db* db;
  ASSERT_EQ(qef64_open_ex(path_.c_str(), 0, &db), 0);
  EXPECT_LT(mapped_in(path_), size_ - records_end_);
  qef64_close(db);
  for (unsigned flags :
       {QEF64_WARM_TABLES, QEF64_WARM_ALL, QEF64_LOCK_TABLES}) {
    ASSERT_EQ(qef64_open_ex(path_.c_str(), flags, &db), 0);
    EXPECT_GE(mapped_in(path_), size_ - records_end_) << flags;
    qef64_close(db);
  }
}

// A close while the thread still reads waits for it to stop, and lookups
// work meanwhile; the database is whole once the thread is done.
TEST_F(Cold, BackgroundWarmingStopsAtClose) {
  for (int round = 0; round < 20; round++) {
    evict();
    qef64_db* db;
    unsigned flags = QEF64_WARM_BACKGROUND |
                     (round % 2 == 0 ? QEF64_WARM_ALL : QEF64_LOCK_TABLES);
    ASSERT_EQ(qef64_open_ex(path_.c_str(), flags, &db), 0);
    const void* data;
    std::size_t len;
    ASSERT_EQ(qef64_get(db, "key7", 4, &data, &len), 0);
    EXPECT_EQ(std::string(static_cast<const char*>(data), len),
              std::string(90, 'v'));
    if (round == 19) {
      // Long enough for the thread to finish: everything is resident.
      for (int wait = 0; wait < 200; wait++) {
        std::uint64_t tables = 0;
        ASSERT_EQ(qef64_resident(db, &tables, nullptr), 0);
        if (tables == 4096 + (size_ - records_end_)) break;
        ::usleep(10000);
      }
      std::uint64_t tables = 0;
      ASSERT_EQ(qef64_resident(db, &tables, nullptr), 0);
      EXPECT_EQ(tables, 4096 + (size_ - records_end_));
    }
    qef64_close(db);
  }
}

// Locking the tables needs RLIMIT_MEMLOCK room (or the privilege to pass
// it): without, the open fails at once and names why. Root drops both in a
// child by becoming nobody.
TEST_F(Cold, LockingBeyondTheLimitFailsTheOpen) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop the privilege";
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
  pid_t pid = ::fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    struct rlimit none = {0, 0};
    if (::setrlimit(RLIMIT_MEMLOCK, &none) != 0 || ::setgid(65534) != 0 ||
        ::setuid(65534) != 0)
      ::_exit(2);
    qef64_db* db;
    int rc = qef64_open_ex(path_.c_str(), QEF64_LOCK_TABLES, &db);
    int rc_bg = qef64_open_ex(path_.c_str(),
                              QEF64_LOCK_TABLES | QEF64_WARM_BACKGROUND, &db);
    int plain = qef64_open_ex(path_.c_str(), QEF64_WARM_TABLES, &db);
    if (plain == 0) qef64_close(db);
    bool refused = (rc == EPERM || rc == ENOMEM) && rc_bg == rc;
    ::_exit(refused && plain == 0 ? 0 : 1);
  }
  int status;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // With the privilege the same open locks the tables.
  qef64::database db(path_, QEF64_LOCK_TABLES);
  EXPECT_EQ(db.resident().tables, 4096 + (size_ - records_end_));
}

}  // namespace
