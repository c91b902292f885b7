// qef64make as a process, with real files, pipes and failures.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/process.h"
#include "tests/reference.h"

namespace {

const std::string prefix = "qef64make: fatal: ";

std::string frame(const std::string& key, const std::string& data) {
  return "+" + std::to_string(key.size()) + "," + std::to_string(data.size()) +
         ":" + key + "->" + data + "\n";
}

// A builder in the middle of its build: its standard input is a pipe that
// the test feeds, and it waits for more until the test closes it.
class slow_builder {
 public:
  slow_builder(const std::string& f, const std::string& ftmp) : ftmp_(ftmp) {
    int p[2];
    if (pipe(p) == -1) return;
    signal(SIGPIPE, SIG_IGN);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(p[0], 0);
      close(p[0]);
      close(p[1]);
      std::string make = program("qef64make");
      execl(make.c_str(), make.c_str(), f.c_str(), ftmp.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(p[0]);
    feed_ = p[1];
  }
  ~slow_builder() {
    if (feed_ != -1) finish();
  }
  // Writes text to the builder, then waits until ftmp holds at least
  // `size` bytes; false after 20 seconds.
  bool feed(const std::string& text, long size) {
    if (write(feed_, text.data(), text.size()) !=
        static_cast<ssize_t>(text.size()))
      return false;
    for (int i = 0; i < 20000; i++) {
      struct stat st;
      if (stat(ftmp_.c_str(), &st) == 0 && st.st_size >= size) return true;
      timespec ms{0, 1000000};
      nanosleep(&ms, nullptr);
    }
    return false;
  }
  // Ends the input with `rest`; the builder's exit status.
  int finish(const std::string& rest = "") {
    if (!rest.empty() && write(feed_, rest.data(), rest.size()) == -1)
      return -1;
    close(feed_);
    feed_ = -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) == -1 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string ftmp_;
  pid_t pid_ = -1;
  int feed_ = -1;
};

// Records enough to fill the builder's 8192-byte buffer at least once.
std::string many_records(const std::string& prefix, int n) {
  std::string text;
  for (int i = 0; i < n; i++)
    text += frame(prefix + std::to_string(i), std::string(100, 'd'));
  return text;
}

class Make : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { remove_tree(dir_); }
  std::string f() const { return dir_ + "/f"; }
  std::string ftmp() const { return dir_ + "/ftmp"; }
  run_result make(const std::string& input, run_options o = {}) {
    return run({program("qef64make"), f(), ftmp()}, input, o);
  }
  std::string dir_;
};

TEST_F(Make, BuildsTheFilesOfTheFormat) {
  struct {
    std::string input;
    std::size_t size;
  } cases[] = {
      {"\n", 4096},
      {"+3,5:abc->hello\n\n", 4152},
      {"+,:->\n\n", 4096 + 16 + 32},
      {"+03,1:abc->x\n\n", 4096 + 20 + 32},
      {"+3,3:abc->xyz\n\ntrailing garbage, never read", 4150},
  };
  for (const auto& c : cases) {
    run_result r = make(c.input);
    EXPECT_EQ(r.status, 0) << c.input << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    std::string file = read_file(f());
    EXPECT_EQ(file.size(), c.size) << c.input;
    EXPECT_EQ(reference::parse(file).error, "") << c.input;
    EXPECT_FALSE(file_exists(ftmp()));
  }
  EXPECT_EQ(reference::find(reference::parse(read_file(f())), "abc"),
            std::vector<std::string>{"xyz"});
  struct stat st;
  ASSERT_EQ(stat(f().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0644u, 0u);
}

TEST_F(Make, StoresAnyBytesUnchangedFromFilesAndPipes) {
  std::mt19937 rng(11);
  const std::string specials[] = {std::string("\0", 1), "\n",   "+", "->",
                                  "\xff\x80",           "\r\n", ""};
  std::vector<std::pair<std::string, std::string>> records;
  std::string text;
  for (int i = 0; i < 400; i++) {
    std::string k = specials[rng() % 7] + std::to_string(rng() % 150);
    std::string d = specials[rng() % 7];
    for (unsigned n = rng() % (i % 50 == 0 ? 20000 : 30); n > 0; n--)
      d += static_cast<char>(rng());
    records.push_back({k, d});
    text += frame(k, d);
  }
  for (input_kind in : {input_kind::pipe, input_kind::file}) {
    run_options o;
    o.in = in;
    run_result r = make(text + "\n", o);
    ASSERT_EQ(r.status, 0) << r.err;
    reference::database db = reference::parse(read_file(f()));
    ASSERT_EQ(db.error, "");
    ASSERT_EQ(db.records.size(), records.size());
    for (std::size_t i = 0; i < records.size(); i++) {
      EXPECT_EQ(db.records[i].key, records[i].first);
      EXPECT_EQ(db.records[i].data, records[i].second);
    }
  }
}

TEST_F(Make, FramingErrorsAreBadFormat) {
  const std::string bad = prefix + "unable to read input: bad format\n";
  const char* inputs[] = {
      "",                     // end of input at once
      "+3,3:abc->xyz\n",      // no empty line
      "+3,3:abc->xyz\r\n\n",  // carriage return
      "\r\n",
      "+-3,3:abc->xyz\n\n",  // a sign
      "+3, 3:abc->xyz\n\n",  // a space
      "+3,3:abc>xyz\n\n",    // no "-"
      "+3,3:abc-xyz\n\n",    // no ">"
      "+3,3:abc->xy",        // data cut short
      "+3;3:abc->xyz\n\n",
      "x\n",
      "+3,3",
  };
  write_file(f(), "old database");
  for (const char* input : inputs) {
    run_result r = make(input);
    EXPECT_EQ(r.status, 111) << input;
    EXPECT_EQ(r.err, bad) << input;
    EXPECT_EQ(read_file(f()), "old database");
  }
  make("");
  EXPECT_EQ(read_file(ftmp()), "");  // left behind, empty
}

TEST_F(Make, LengthLimitIsOutOfMemory) {
  const std::string nomem =
      prefix + "unable to create " + ftmp() + ": Cannot allocate memory\n";
  // 2^60 - 1 passes the parser: the builder goes on to read the key, and
  // finds the input at its end.
  run_result r = make("+1152921504606846975,0:");
  EXPECT_EQ(r.err, prefix + "unable to read input: bad format\n");
  for (const char* input :
       {"+1152921504606846976,0:", "+0,1152921504606846976:",
        "+99999999999999999999999,0:"}) {
    r = make(input);
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(r.err, nomem) << input;
  }
}

TEST_F(Make, UsageAndCommitFailures) {
  run_result r = run({program("qef64make"), f()}, "\n");
  EXPECT_EQ(r.status, 100);
  EXPECT_EQ(r.err, "qefmake: usage: qefmake f ftmp\n");
  EXPECT_FALSE(file_exists(f()));
  r = run({program("qef64make"), f(), ftmp(), "ignored"}, "\n");
  EXPECT_EQ(r.status, 0);

  std::string missing = dir_ + "/no/such/dir/f";
  r = run({program("qef64make"), missing, ftmp()}, "\n");
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, prefix + "unable to rename " + ftmp() + " to " + missing +
                       ": " + std::strerror(ENOENT) + "\n");

  r = run({program("qef64make"), f(), dir_ + "/no/ftmp"}, "\n");
  EXPECT_EQ(r.err, prefix + "unable to create " + dir_ +
                       "/no/ftmp: " + std::strerror(ENOENT) + "\n");

  // Closed standard input is a read failure.
  run_options closed;
  closed.in = input_kind::none;
  r = make("", closed);
  EXPECT_EQ(r.err,
            prefix + "unable to read input: " + std::strerror(EBADF) + "\n");
}

TEST_F(Make, WriteFailureNamesFtmpAndLeavesFUntouched) {
  write_file(f(), "old database");
  std::string text;
  for (int i = 0; i < 2000; i++)
    text += frame("key" + std::to_string(i), "data");
  run_options o;
  o.fsize_limit = 20000;
  run_result r = make(text + "\n", o);
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, prefix + "unable to create " + ftmp() + ": " +
                       std::strerror(EFBIG) + "\n");
  EXPECT_EQ(read_file(f()), "old database");
}

// A symbolic link at ftmp, and an ftmp that is f under another name, would
// make the build overwrite some other file or the live database.
TEST_F(Make, RefusesFtmpThatIsALinkOrIsF) {
  write_file(f(), "old database");
  write_file(dir_ + "/victim", "victim");
  ASSERT_EQ(symlink((dir_ + "/victim").c_str(), ftmp().c_str()), 0);
  run_result r = make("\n");
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, prefix + "unable to create " + ftmp() +
                       ": Too many levels of symbolic links\n");
  EXPECT_EQ(read_file(dir_ + "/victim"), "victim");
  EXPECT_EQ(read_file(f()), "old database");
  unlink(ftmp().c_str());

  ASSERT_EQ(link(f().c_str(), (dir_ + "/hard").c_str()), 0);
  ASSERT_EQ(symlink(f().c_str(), (dir_ + "/soft").c_str()), 0);
  write_file(dir_ + "/t", "");
  struct {
    std::string f, ftmp;
  } same[] = {{f(), f()},
              {f(), dir_ + "/./f"},
              {f(), dir_ + "/hard"},
              {dir_ + "/soft", f()}};
  for (const auto& c : same) {
    r = run({program("qef64make"), c.f, c.ftmp}, "+1,1:a->b\n\n");
    EXPECT_EQ(r.status, 111) << c.f << " " << c.ftmp;
    EXPECT_EQ(r.err,
              prefix + "unable to create " + c.ftmp + ": Invalid argument\n");
    EXPECT_EQ(read_file(f()), "old database");
  }

  // With no database under that name there is nothing to protect: the same
  // name twice builds the database there, as two names would.
  std::string fresh = dir_ + "/fresh";
  r = run({program("qef64make"), fresh, fresh}, "+1,1:a->b\n\n");
  EXPECT_EQ(r.status, 0) << r.err;
  r = run({program("qef64make"), dir_ + "/other", dir_ + "/t2"},
          "+1,1:a->b\n\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(fresh), read_file(dir_ + "/other"));
  write_file(fresh, "");
  r = run({program("qef64make"), fresh, dir_ + "/./fresh"}, "+1,1:a->b\n\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(fresh), read_file(dir_ + "/other"));

  // What an earlier, interrupted build left at ftmp is cut away first.
  write_file(dir_ + "/t3", std::string(20000, 'x'));
  r = run({program("qef64make"), dir_ + "/third", dir_ + "/t3"},
          "+1,1:a->b\n\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir_ + "/third"), read_file(dir_ + "/other"));
}

// qef64make f x.txt < x.txt: cutting ftmp would cut the input as it is read.
TEST_F(Make, RefusesFtmpThatIsStandardInput) {
  const std::string text = frame("red", "#ff0000") + "\n";
  write_file(ftmp(), text);
  run_options o;
  o.in = input_kind::path;
  run_result r = run({program("qef64make"), f(), ftmp()}, ftmp(), o);
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, prefix + "unable to create " + ftmp() + ": " +
                       std::strerror(EINVAL) + "\n");
  EXPECT_EQ(read_file(ftmp()), text);
  EXPECT_FALSE(file_exists(f()));
}

// A job started twice: the second builder on the same ftmp must neither
// cut nor publish the file that the first one is still writing.
TEST_F(Make, SecondBuilderOnTheSameFtmpFailsAtOnce) {
  slow_builder first(f(), ftmp());
  const std::string text = many_records("k", 200);
  // The 200 records take 23,890 bytes in the file (a 16-byte header, keys
  // k0 to k199, 100 bytes of data each): the builder writes two full 8192-byte
  // pieces after the header and then waits for more input with the rest in
  // its buffer. Only once both are written does ftmp stop changing.
  ASSERT_TRUE(first.feed(text, 4096 + 2 * 8192));
  const std::string written = read_file(ftmp());
  run_result r = run({program("qef64make"), dir_ + "/g", ftmp()},
                     framing({{"other", "build"}}));
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, prefix + "unable to create " + ftmp() + ": " +
                       std::strerror(EWOULDBLOCK) + "\n");
  EXPECT_TRUE(read_file(ftmp()) == written) << "ftmp changed";
  EXPECT_FALSE(file_exists(dir_ + "/g"));
  ASSERT_EQ(first.finish("\n"), 0);
  reference::database db = reference::parse(read_file(f()));
  EXPECT_EQ(db.error, "");
  EXPECT_EQ(db.records.size(), 200u);
}

// chmod 640 f; chgrp mail f: a rebuild must neither show the records to
// everyone nor take them from a daemon that reads through its group.
TEST_F(Make, RebuildKeepsTheModeOwnerAndGroupOfF) {
  ASSERT_EQ(make(framing({{"k", "old"}})).status, 0);
  ASSERT_EQ(chmod(f().c_str(), 0640), 0);
  // Only root can hand a file to another owner; anyone else checks the mode.
  const bool root = geteuid() == 0;
  if (root) ASSERT_EQ(chown(f().c_str(), 1234, 5678), 0);
  auto expect_access = [&](const std::string& path) {
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << path;
    if (root) EXPECT_EQ(st.st_uid, 1234u) << path;
    if (root) EXPECT_EQ(st.st_gid, 5678u) << path;
  };
  slow_builder b(f(), ftmp());
  ASSERT_TRUE(b.feed(many_records("k", 200), 4096 + 8192));
  expect_access(ftmp());  // already while the records go in
  ASSERT_EQ(b.finish("\n"), 0);
  expect_access(f());
}

// qef64make keep.db /dev/shm/keep.tmp: rename cannot cross file systems,
// so the build must stop before it starts, with nothing left in /dev/shm.
TEST_F(Make, FtmpOnAnotherFileSystemIsRefusedBeforeReading) {
  char tmpl[] = "/dev/shm/qef64-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) GTEST_SKIP() << "no /dev/shm";
  const std::string shm = tmpl, far = shm + "/ftmp";
  struct stat a, b;
  if (stat(shm.c_str(), &a) != 0 || stat(dir_.c_str(), &b) != 0 ||
      a.st_dev == b.st_dev) {
    std::filesystem::remove_all(shm);
    GTEST_SKIP() << "/dev/shm and " << dir_ << " are one file system";
  }
  const std::string exdev = prefix + "unable to rename " + far + " to " + f() +
                            ": " + std::strerror(EXDEV) + "\n";
  // With standard input closed, any read would fail first.
  run_options closed;
  closed.in = input_kind::none;
  run_result r = run({program("qef64make"), f(), far}, "", closed);
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, exdev);
  EXPECT_FALSE(file_exists(far));
  // An ftmp that was there already stays as it was.
  write_file(far, "someone else's");
  r = run({program("qef64make"), f(), far}, framing({{"k", "v"}}));
  EXPECT_EQ(r.err, exdev);
  EXPECT_TRUE(read_file(far) == "someone else's") << "ftmp changed";
  EXPECT_FALSE(file_exists(f()));
  std::filesystem::remove_all(shm);
}

std::string create_error(const std::string& ftmp, int error) {
  return prefix + "unable to create " + ftmp + ": " + std::strerror(error) +
         "\n";
}

// An ftmp that is no plain file of this user's alone would hand the
// database on: a device node would be built into and then moved to f, and
// "ln orig x.tmp" would empty orig. Each is refused before any input is
// read (standard input is closed), the file as it was.
TEST_F(Make, RefusesFtmpThatIsNoPlainFileOfItsOwn) {
  run_options closed;
  closed.in = input_kind::none;
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_NE(reader, -1);
  std::vector<std::string> others = {fifo};
  // Only root may make a device node; as root, ftmp may be one.
  const std::string device = dir_ + "/null";
  if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
    others.push_back(device);
  for (const std::string& other : others) {
    run_result r = run({program("qef64make"), f(), other}, "", closed);
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(r.err, create_error(other, ENOTSUP));
    EXPECT_FALSE(file_exists(f()));
  }
  close(reader);

  write_file(dir_ + "/orig", "someone's data");
  ASSERT_EQ(link((dir_ + "/orig").c_str(), ftmp().c_str()), 0);
  run_result r = make("", closed);
  EXPECT_EQ(r.err, create_error(ftmp(), EMLINK));
  EXPECT_EQ(read_file(dir_ + "/orig"), "someone's data");
  EXPECT_FALSE(file_exists(f()));
}

// Another user plants ftmp, in a sticky directory such as /tmp or in a plain
// one: the database would keep that file, and with it an owner who may
// rewrite it in place. Only the owner of f may own ftmp, since f's owner is
// what the database gets anyway (what a failed rebuild as root leaves).
TEST_F(Make, RefusesFtmpOfAnotherUser) {
  if (geteuid() != 0)
    GTEST_SKIP() << "giving a file to another user needs root";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  // fs.protected_regular makes the kernel refuse the open itself in a
  // world-writable sticky directory.
  const bool protected_regular =
      read_file("/proc/sys/fs/protected_regular").find_first_of("12") !=
      std::string::npos;
  for (mode_t mode : {01777, 0755}) {
    const std::string d = dir_ + (mode == 01777 ? "/sticky" : "/plain");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    ASSERT_EQ(chmod(d.c_str(), mode), 0);
    const std::string pub = d + "/pub.db", tmp = pub + ".tmp";
    write_file(tmp, "");
    ASSERT_EQ(chmod(tmp.c_str(), 0666), 0);
    ASSERT_EQ(chown(tmp.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    run_result r =
        run({program("qef64make"), pub, tmp}, framing({{"secret", "s3cr3t"}}));
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(
        r.err,
        create_error(tmp, mode == 01777 && protected_regular ? EACCES : EPERM));
    EXPECT_FALSE(file_exists(pub));
    struct stat st;
    ASSERT_EQ(stat(tmp.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
  }
  const std::string pub = dir_ + "/plain/pub.db", tmp = pub + ".tmp";
  ASSERT_EQ(make(framing({{"k", "v"}})).status, 0);
  ASSERT_EQ(rename(f().c_str(), pub.c_str()), 0);
  ASSERT_EQ(chown(pub.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  run_result r = run({program("qef64make"), pub, tmp}, framing({{"k", "w"}}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(reference::find(reference::parse(read_file(pub)), "k"),
            std::vector<std::string>{"w"});
}

// A leftover ftmp, of mode 666 or setuid or narrower, passes nothing on to a
// new f, which gets mode 0644 less the umask like a freshly created ftmp.
TEST_F(Make, NewFGetsTheModeOfANewFile) {
  for (mode_t leftover : {0u, 0666u, 04755u, 0600u}) {
    SCOPED_TRACE(leftover);
    unlink(f().c_str());
    unlink(ftmp().c_str());
    if (leftover != 0) {
      write_file(ftmp(), "left over");
      ASSERT_EQ(chmod(ftmp().c_str(), leftover), 0);
    }
    run_result r =
        run({"/bin/sh", "-c", "umask 027 && exec \"$0\" \"$1\" \"$2\"",
             program("qef64make"), f(), ftmp()},
            framing({{"k", "v"}}));
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat(f().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
  }
}

// A rename that cannot work (no directory, a file for a directory, no
// name) is found before any input is read, with the error rename gives,
// and nothing is created.
TEST_F(Make, RenameThatCannotWorkIsRefusedBeforeReading) {
  write_file(dir_ + "/file", "");
  const struct {
    std::string f;
    int error;
  } cases[] = {{dir_ + "/no/such/dir/f", ENOENT},
               {dir_ + "/file/f", ENOTDIR},
               {dir_ + "/file/sub/f", ENOTDIR},
               {"", ENOENT}};
  run_options closed;
  closed.in = input_kind::none;
  for (const auto& c : cases) {
    run_result r = run({program("qef64make"), c.f, ftmp()}, "", closed);
    EXPECT_EQ(r.status, 111) << c.f;
    EXPECT_EQ(r.err, prefix + "unable to rename " + ftmp() + " to " + c.f +
                         ": " + std::strerror(c.error) + "\n");
    EXPECT_FALSE(file_exists(ftmp())) << c.f;
  }
}

// The database leaves in writes of exactly 8192 bytes but the last, then the
// header in one write at offset 0; f is named only by the final rename.
TEST_F(Make, SystemCalls) {
  if (std::system("command -v strace >/dev/null 2>&1") != 0) GTEST_SKIP();
  std::string text;
  for (int i = 0; i < 3000; i++)
    text += frame("k" + std::to_string(i), "some data");
  std::string trace = dir_ + "/trace";
  run_options o;
  o.in = input_kind::file;
  run_result r =
      run({"/usr/bin/strace", "-o", trace, "-e",
           "trace=read,write,lseek,openat,open,rename,stat,newfstatat,"
           "unlink,truncate",
           program("qef64make"), f(), ftmp()},
          text + "\n", o);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string t = read_file(trace);
  // The descriptor of ftmp is whatever its open returned.
  std::size_t opened = t.find("\"" + ftmp() + "\"");
  ASSERT_NE(opened, std::string::npos) << t;
  std::string fd = t.substr(t.find(") = ", opened) + 4);
  fd = fd.substr(0, fd.find('\n'));
  std::vector<long> writes;
  std::size_t header_seek = t.find("lseek(" + fd + ", 0, SEEK_SET)");
  ASSERT_NE(header_seek, std::string::npos) << t;
  const std::string write_call = "write(" + fd + ",";
  for (std::size_t at = t.find(write_call); at != std::string::npos;
       at = t.find(write_call, at + 1)) {
    std::size_t eq = t.find(") = ", at);
    writes.push_back(std::atol(t.c_str() + eq + 4));
    if (at > header_seek) EXPECT_EQ(writes.back(), 4096);
  }
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(writes.back(), 4096);
  for (std::size_t i = 0; i + 2 < writes.size(); i++)
    EXPECT_EQ(writes[i], 8192);
  long total = 0;
  for (long w : writes)
    total += w;
  EXPECT_EQ(total, static_cast<long>(read_file(f()).size()));
  // f is looked at once, for the access it has (none here), and changed
  // only by the rename.
  std::string quoted = "\"" + f() + "\"";
  std::vector<std::string> touching;
  for (std::size_t at = t.find(quoted); at != std::string::npos;
       at = t.find(quoted, at + 1)) {
    std::size_t line = t.rfind('\n', at) + 1;
    touching.push_back(t.substr(line, t.find('(', line) - line));
  }
  ASSERT_EQ(touching.size(), 2u) << t;
  EXPECT_TRUE(touching[0] == "newfstatat" || touching[0] == "stat") << t;
  EXPECT_EQ(touching[1], "rename") << t;
}

// The calls a fresh build makes before its first record, from the stat of
// ftmp's directory to the first read: the safeguards of qef64make(1), which
// lists them, and nothing else.
TEST_F(Make, SystemCallsBeforeTheFirstRecord) {
  if (std::system("command -v strace >/dev/null 2>&1") != 0) GTEST_SKIP();
  const std::string trace = dir_ + "/trace";
  run_result r =
      run({"/usr/bin/strace", "-o", trace, program("qef64make"), f(), ftmp()},
          "\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string t = read_file(trace);
  std::size_t at = t.find("\"" + dir_ + "\"");
  ASSERT_NE(at, std::string::npos) << t;
  std::vector<std::string> calls;
  std::size_t line = t.rfind('\n', at) + 1;
  while (line < t.size() && t.compare(line, 7, "read(0,") != 0) {
    std::size_t end = std::min(t.find('\n', line), t.size());
    std::string name = t.substr(line, t.find('(', line) - line);
    // The C library's choice among the calls of one kind.
    if (name == "newfstatat" || name == "fstat" || name == "statx")
      name = "stat";
    if (name == "openat") name = "open";
    calls.push_back(name);
    line = end + 1;
  }
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "stat", "stat",               // both directories
                       "open", "dup", "flock",       // ftmp, locked
                       "stat", "stat", "stat",       // ftmp, input, f
                       "geteuid", "umask", "umask",  // owner, new mode
                       "lseek"}))
      << t;
}

// Loading libstdc++ costs more than a whole lookup: no program may need it.
TEST(Programs, LinkNoLibstdcxx) {
#ifdef QEF64_SANITIZE_BUILD
  GTEST_SKIP() << "the sanitizer runtimes link more";
#endif
  if (std::system(
          "command -v readelf >/dev/null && command -v nm >/dev/null") != 0)
    GTEST_SKIP();
  for (const char* name :
       {"qef64make", "qef64get", "qef64dump", "qef64stats", "qef64test"}) {
    std::string p = program(name);
    EXPECT_NE(std::system(
                  ("readelf -d " + p + " | grep -q 'NEEDED.*libstdc'").c_str()),
              0)
        << name;
    EXPECT_NE(std::system(("nm -u " + p + " | grep -q GLIBCXX").c_str()), 0)
        << name;
    EXPECT_EQ(std::system(
                  ("readelf -d " + p + " | grep -q 'NEEDED.*libc.so'").c_str()),
              0)
        << name;
  }
}

}  // namespace
