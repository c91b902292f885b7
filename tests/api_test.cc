// The library interface beyond what c_abi_test covers: one database shared
// by threads, the builder's failure paths (as a process too: a full disk
// while spilling, kills), memory over many builds, and the C++ layer.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <qef64/qef64.hpp>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/process.h"

namespace {

using record = std::pair<std::string, std::string>;

// Random records with repeated keys, an empty key and binary bytes.
std::vector<record> random_records(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<record> records;
  for (int i = 0; i < n; i++) {
    std::string key = "k" + std::to_string(gen() % (4 * n));
    if (i == 1) key = "";
    if (i % 5 == 0) key.push_back('\0');
    if (i % 7 == 0 && !records.empty())
      key = records[gen() % records.size()].first;
    std::string data(gen() % 40, '\0');
    for (char& c : data)
      c = static_cast<char>(gen());
    records.emplace_back(key, data);
  }
  return records;
}

void build(const std::string& path, const std::vector<record>& records) {
  qef64::builder b(path);
  for (const auto& [k, d] : records)
    b.add(k, d);
  b.commit();
}

// The builder's temporary files in dir.
int temp_files(const std::string& dir) {
  int n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    n += std::string(e->d_name).rfind(".", 0) == 0 &&
         std::string(e->d_name) != "." && std::string(e->d_name) != "..";
  }
  closedir(d);
  return n;
}

// Whether the file system of dir makes files without a name (O_TMPFILE),
// which the builder writes into where it can.
bool unnamed_files(const std::string& dir) {
  int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd != -1) close(fd);
  return fd != -1;
}

// Every name in dir but . and .., sorted.
std::vector<std::string> names(const std::string& dir) {
  std::vector<std::string> all;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") all.push_back(n);
  }
  closedir(d);
  std::sort(all.begin(), all.end());
  return all;
}

// The errno of the std::system_error that f throws, or 0.
template <typename F>
int error_of(F&& f) {
  try {
    f();
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().category(), std::generic_category());
    return e.code().value();
  }
  return 0;
}

class Api : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { remove_tree(dir_); }
  std::string dir_;
};

// Every thread looks every key up in all three ways and walks the file;
// each result must be what the records say, whatever the others do.
TEST_F(Api, ThreadsShareOneDatabase) {
  std::vector<record> records = random_records(20000, 1);
  build(dir_ + "/t.db", records);
  std::map<std::string, std::vector<std::string>> model;
  for (const auto& [k, d] : records)
    model[k].push_back(d);
  qef64::database db(dir_ + "/t.db");

  for (int threads : {2, 4}) {
    std::vector<int> wrong(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
      pool.emplace_back([&, t] {
        std::vector<std::string_view> keys;
        const std::string absent = "absent" + std::to_string(t);
        for (const auto& [k, all] : model) {
          if (db.get(k) != std::optional<std::string_view>(all[0])) wrong[t]++;
          std::vector<std::string_view> got = db.get_all(k);
          if (!std::equal(got.begin(), got.end(), all.begin(), all.end()))
            wrong[t]++;
          keys.push_back(k);
          keys.push_back(absent);
        }
        auto many = db.get_many(keys);
        for (std::size_t i = 0; i < keys.size(); i++) {
          auto want = i % 2 ? std::nullopt
                            : std::optional<std::string_view>(
                                  model[std::string(keys[i])][0]);
          if (many[i] != want) wrong[t]++;
        }
        std::size_t i = 0;
        for (const auto& [k, d] : db) {
          if (i >= records.size() || k != records[i].first ||
              d != records[i].second)
            wrong[t]++;
          i++;
        }
        if (i != records.size()) wrong[t]++;
      });
    }
    for (auto& th : pool)
      th.join();
    for (int t = 0; t < threads; t++)
      EXPECT_EQ(wrong[t], 0) << threads;
  }
}

TEST_F(Api, BuilderFailuresLeavePathAndDirectoryAsTheyWere) {
  qef64_builder* b = nullptr;
  EXPECT_EQ(qef64_builder_open((dir_ + "/missing/x.db").c_str(), &b), ENOENT);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(qef64_builder_open((dir_ + "/").c_str(), &b), EISDIR);

  // A path the rename cannot replace by the time of the commit: the commit
  // fails and cleans up.
  ASSERT_EQ(qef64_builder_open((dir_ + "/taken").c_str(), &b), 0);
  ASSERT_EQ(mkdir((dir_ + "/taken").c_str(), 0755), 0);
  write_file(dir_ + "/taken/keep", "x");
  ASSERT_EQ(qef64_builder_add(b, "k", 1, "d", 1), 0);
  EXPECT_EQ(qef64_builder_commit(b), EISDIR);
  EXPECT_EQ(temp_files(dir_), 0);
  EXPECT_EQ(read_file(dir_ + "/taken/keep"), "x");

  // A length beyond the format's limit is refused before anything is read
  // from the pointer, and the builder keeps reporting it.
  write_file(dir_ + "/old.db", "old");
  ASSERT_EQ(qef64_builder_open((dir_ + "/old.db").c_str(), &b), 0);
  EXPECT_EQ(qef64_builder_add(b, nullptr, size_t{1} << 60, "", 0), ENOMEM);
  EXPECT_EQ(qef64_builder_add(b, "k", 1, "d", 1), ENOMEM);
  EXPECT_EQ(qef64_builder_commit(b), ENOMEM);
  EXPECT_EQ(temp_files(dir_), 0);
  EXPECT_EQ(read_file(dir_ + "/old.db"), "old");
}

// A write that fails half way (the file size limit stands in for a full
// disk): the error comes back, no temporary file stays, the path keeps the
// old file. In a child, so that the limit does not stay with the tests.
TEST_F(Api, BuilderWriteFailureCleansUp) {
  write_file(dir_ + "/old.db", "old");
  pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {65536, 65536};
    setrlimit(RLIMIT_FSIZE, &limit);
    qef64_builder* b = nullptr;
    if (qef64_builder_open((dir_ + "/old.db").c_str(), &b) != 0) _exit(10);
    std::string value(1000, 'v');
    int rc = 0;
    for (int i = 0; i < 1000 && rc == 0; i++) {
      rc = qef64_builder_add(b, "k", 1, value.data(), value.size());
    }
    if (rc == 0)
      rc = qef64_builder_commit(b);
    else if (qef64_builder_commit(b) != rc)
      _exit(11);
    _exit(rc == EFBIG ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(temp_files(dir_), 0);
  EXPECT_EQ(read_file(dir_ + "/old.db"), "old");
}

// A builder inherited by a child is the parent's: the child can neither
// finish it nor remove its file, and the parent's commit still works.
TEST_F(Api, BuilderBelongsToTheProcessThatOpenedIt) {
  qef64_builder* b = nullptr;
  ASSERT_EQ(qef64_builder_open((dir_ + "/f.db").c_str(), &b), 0);
  ASSERT_EQ(qef64_builder_add(b, "k", 1, "parent", 6), 0);
  pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    bool refused = qef64_builder_add(b, "k", 1, "child", 5) == EBUSY;
    qef64_builder_abort(b);
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(temp_files(dir_), unnamed_files(dir_) ? 0 : 1);
  ASSERT_EQ(qef64_builder_commit(b), 0);
  EXPECT_EQ(qef64::database(dir_ + "/f.db").get("k"), "parent");
}

// Commit and abort give back everything: the heap in use after a thousand
// builds is what it was after the first few (which settle the allocator's
// own thresholds).
TEST_F(Api, ManyBuildsDoNotGrowMemory) {
#ifdef QEF64_SANITIZE_BUILD
  GTEST_SKIP() << "the sanitizers' allocator keeps no malloc statistics";
#endif
  std::vector<record> records = random_records(3000, 2);
  auto one_round = [&](int i) {
    build(dir_ + "/m.db", records);
    qef64::builder aborted(dir_ + "/m.db");
    aborted.add("k", std::to_string(i));
    qef64::database db(dir_ + "/m.db");
    EXPECT_EQ(db.size(), records.size());
  };
  for (int i = 0; i < 10; i++)
    one_round(i);
  std::size_t before = mallinfo2().uordblks;
  for (int i = 10; i < 1000; i++)
    one_round(i);
  EXPECT_EQ(mallinfo2().uordblks, before);
  EXPECT_EQ(temp_files(dir_), 0);
}

// The builder as a process of its own (bench/libmake.c), under the preload
// library that fills the disk, kills the process at a chosen call, or makes
// unnamed files unavailable. With a budget of 0 every table keeps one entry
// in memory, so that the records below spill at once, hundreds of times
// before the database gets its first write.
class BuilderProcess : public Api {
 protected:
  void SetUp() override {
    Api::SetUp();
    std::vector<text_record> records;
    for (int i = 0; i < 2000; i++) {
      records.push_back(
          {i % 3 == 0 ? "" : "k" + std::to_string(i), "d" + std::to_string(i)});
    }
    text_ = framing(records);
    write_file(dir_ + "/old.db", "old");
  }
  run_result libmake(const std::string& to, std::vector<std::string> env) {
    run_options o;
    o.env = std::move(env);
    o.env.push_back("LD_PRELOAD=" QEF64_FAULTS_LIB);
    return run({QEF64_LIBMAKE, to, "0"}, text_, o);
  }
  std::string text_;
};

TEST_F(BuilderProcess, SpillsAndWritesQef64makesBytes) {
  ASSERT_EQ(run({program("qef64make"), dir_ + "/made.db", dir_ + "/tmp"}, text_)
                .status,
            0);
  for (const char* tmpfile : {"", "fail"}) {
    SCOPED_TRACE(*tmpfile ? "named files only" : "unnamed files");
    unlink((dir_ + "/lib.db").c_str());
    run_result r = libmake(dir_ + "/lib.db",
                           {std::string("QEF64_FAULTS_TMPFILE=") + tmpfile});
    ASSERT_EQ(r.status, 0) << r.err;
    unsigned long long spilled = 0, read_back = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "spilled %llu read %llu", &spilled,
                          &read_back),
              2);
    EXPECT_GT(spilled, 20000u);
    EXPECT_EQ(read_back, spilled);
    EXPECT_TRUE(read_file(dir_ + "/lib.db") == read_file(dir_ + "/made.db"));
    EXPECT_EQ(names(dir_),
              (std::vector<std::string>{"lib.db", "made.db", "old.db"}));
  }
}

TEST_F(BuilderProcess, FullDiskWhileSpillingLeavesPathAsItWas) {
  for (const char* tmpfile : {"", "fail"}) {
    SCOPED_TRACE(*tmpfile ? "named files only" : "unnamed files");
    run_result r = libmake(dir_ + "/old.db",
                           {"QEF64_FAULTS_ENOSPC=1000",
                            std::string("QEF64_FAULTS_TMPFILE=") + tmpfile});
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(r.err,
              "libmake: " + dir_ + "/old.db: " + std::strerror(ENOSPC) + "\n");
    EXPECT_EQ(names(dir_), std::vector<std::string>{"old.db"});
    EXPECT_EQ(read_file(dir_ + "/old.db"), "old");
  }
}

// Killed while spilling (its 20th write), as it reads the spill back at
// commit, and with the database complete but not yet named (its fsync):
// nothing of the build stays in the directory.
TEST_F(BuilderProcess, KilledBuilderLeavesOnlyTheOldFile) {
  if (!unnamed_files(dir_)) GTEST_SKIP() << "no O_TMPFILE here";
  for (const char* at : {"write:20", "read:1", "fsync:1"}) {
    SCOPED_TRACE(at);
    run_result r =
        libmake(dir_ + "/old.db", {std::string("QEF64_FAULTS_KILL=") + at});
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(names(dir_), std::vector<std::string>{"old.db"});
    EXPECT_EQ(read_file(dir_ + "/old.db"), "old");
  }
}

// A directory at the path can never be renamed over: the open refuses it
// before any file is made, in C and in C++. A symbolic link to one is no
// directory to the rename, which replaces the link.
TEST_F(Api, BuilderOpenRefusesADirectory) {
  const std::string taken = dir_ + "/taken";
  ASSERT_EQ(mkdir(taken.c_str(), 0755), 0);
  write_file(taken + "/keep", "x");
  qef64_builder* b = nullptr;
  EXPECT_EQ(qef64_builder_open(taken.c_str(), &b), EISDIR);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(error_of([&] { qef64::builder cb(taken); }), EISDIR);
  EXPECT_EQ(names(dir_), std::vector<std::string>{"taken"});

  ASSERT_EQ(symlink("taken", (dir_ + "/link.db").c_str()), 0);
  build(dir_ + "/link.db", {{"k", "v"}});
  struct stat st;
  ASSERT_EQ(lstat((dir_ + "/link.db").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(names(taken), std::vector<std::string>{"keep"});
}

// A rebuild keeps the permission bits of the file it replaces, but never
// set-user-ID, set-group-ID or sticky ones; a process that may not set the
// owner still sets the group it shares, as qef64make does.
TEST_F(Api, RebuildKeepsAccessAsQef64makeDoes) {
  const std::string path = dir_ + "/s.db";
  build(path, {{"k", "old"}});
  ASSERT_EQ(chmod(path.c_str(), 06755), 0);
  build(path, {{"k", "new"}});
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  // f belongs to root and a group that user 4321 is a member of.
  constexpr uid_t user = 4321;
  constexpr gid_t own_group = 4321, shared_group = 5678;
  const std::string open_dir = dir_ + "/open", g = open_dir + "/g.db";
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
  build(g, {{"k", "old"}});
  ASSERT_EQ(chown(g.c_str(), 0, shared_group), 0);
  ASSERT_EQ(chmod(g.c_str(), 0640), 0);
  pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    const gid_t groups[] = {shared_group};
    if (setgroups(1, groups) != 0 || setgid(own_group) != 0 ||
        setuid(user) != 0)
      _exit(10);
    qef64_builder* b = nullptr;
    if (qef64_builder_open(g.c_str(), &b) != 0) _exit(11);
    if (qef64_builder_add(b, "k", 1, "new", 3) != 0) _exit(12);
    _exit(qef64_builder_commit(b) == 0 ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(stat(g.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, user);
  EXPECT_EQ(st.st_gid, shared_group);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A moved-from object keeps no handle: each call on it fails as on a
// closed descriptor, until something is assigned to it.
TEST_F(Api, MovedFromObjectsThrowBadDescriptor) {
  build(dir_ + "/m.db", {{"k", "v"}});
  qef64::database db(dir_ + "/m.db");
  qef64::database other = std::move(db);
  const std::vector<std::string_view> keys = {"k"};
  const std::function<void()> reads[] = {
      [&] { (void)db.size(); },       [&] { (void)db.get("k"); },
      [&] { (void)db.get_all("k"); }, [&] { (void)db.get_many(keys); },
      [&] { (void)db.begin(); },      [&] { (void)db.end(); },
      [&] { (void)db.replaced(); },   [&] { (void)db.handle(); }};
  for (const auto& call : reads)
    EXPECT_EQ(error_of(call), EBADF);
  db = std::move(other);
  EXPECT_EQ(db.get("k"), "v");

  qef64::builder b(dir_ + "/n.db");
  qef64::builder taker = std::move(b);
  const std::function<void()> writes[] = {
      [&] { b.set_memory(0); }, [&] { b.add("k", "v"); }, [&] { b.commit(); }};
  for (const auto& call : writes)
    EXPECT_EQ(error_of(call), EBADF);
  b.abort();
  b = std::move(taker);
  b.add("k", "w");
  b.commit();
  EXPECT_EQ(error_of([&] { b.add("k", "x"); }), EBADF);
  EXPECT_EQ(qef64::database(dir_ + "/n.db").get("k"), "w");
}

TEST_F(Api, CppLayerReportsErrorsAsSystemErrors) {
  auto code_of = [](auto&& f) {
    try {
      f();
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().category(), std::generic_category());
      return e.code().value();
    }
    return 0;
  };
  EXPECT_EQ(code_of([&] { qef64::database db(dir_ + "/none.db"); }), ENOENT);
  write_file(dir_ + "/short.db", std::string(4095, '\0'));
  EXPECT_EQ(code_of([&] { qef64::database db(dir_ + "/short.db"); }), EPROTO);
  // The text is the library's, not the generic "Protocol error".
  try {
    qef64::database db(dir_ + "/short.db");
    ADD_FAILURE() << "short.db opened";
  } catch (const qef64::error& e) {
    EXPECT_EQ(std::string(e.what()),
              dir_ + "/short.db: not a database, or a damaged one");
    EXPECT_EQ(e.code(), std::errc::protocol_error);
  }

  // A damaged slot: the record of the empty key (table 5, whose 2 slots
  // follow the 17-byte record at 4113) is named by slot 21 % 2 = 1, whose
  // record position, at 4113 + 16 + 8, is made to point past the end of
  // the file.
  build(dir_ + "/bad.db", {{"", "x"}});
  std::string bytes = read_file(dir_ + "/bad.db");
  ASSERT_EQ(bytes[4137], 0x00);  // 4096 = 0x1000: bytes 00 10 00 ...
  ASSERT_EQ(bytes[4138], 0x10);
  bytes[4142] = 0x10;
  write_file(dir_ + "/bad.db", bytes);
  qef64::database bad(dir_ + "/bad.db");
  EXPECT_EQ(code_of([&] { (void)bad.get(""); }), EPROTO);
  EXPECT_TRUE(bad.verify().has_value());

  // The destructor of a builder never committed aborts it.
  {
    qef64::builder b(dir_ + "/bad.db");
    b.add("x", "y");
  }
  EXPECT_EQ(temp_files(dir_), 0);
  qef64::database moved = std::move(bad);
  EXPECT_EQ(moved.size(), 1u);
}

}  // namespace
