// The qef64 command as a process, with real files and pipes: every format
// through build and dump and back, the errors of each format with their
// line and offset, statuses, and builds that fail without a trace.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/process.h"

namespace {

namespace fs = std::filesystem;

std::string qef64() {
  return program("qef64");
}

// Records that every format must carry through --base64: any bytes.
std::vector<text_record> binary_records() {
  std::mt19937 rng(24);
  std::vector<text_record> records = {
      {"", ""}, {std::string("\0", 1), "\n"}, {"\t,\"\r\n", "\xff\xfe"}};
  for (int i = 0; i < 300; i++) {
    text_record r;
    for (unsigned n = rng() % 20; n > 0; n--)
      r.key += static_cast<char>(rng());
    for (unsigned n = rng() % (i % 50 == 0 ? 5000 : 40); n > 0; n--)
      r.data += static_cast<char>(rng());
    records.push_back(r);
  }
  records.push_back(records[5]);  // a key twice
  return records;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!file_exists(qef64())) GTEST_SKIP() << "qef64 was not built";
    dir_ = make_temp_dir();
  }
  void TearDown() override {
    if (!dir_.empty()) remove_tree(dir_);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // qef64make's database of the records, at path(name).
  std::string make(const std::vector<text_record>& records,
                   const std::string& name = "ref.db") {
    run_result r = run({program("qef64make"), path(name), path(name + ".tmp")},
                       framing(records));
    EXPECT_EQ(r.status, 0) << r.err;
    return path(name);
  }
  run_result cli(std::vector<std::string> args, const std::string& input = "",
                 const run_options& o = {}) {
    args.insert(args.begin(), qef64());
    return run(args, input, o);
  }
  // Builds db from text given in format (extra options after it) and
  // expects success.
  void build(const std::string& text, const std::string& db,
             const std::vector<std::string>& options) {
    std::vector<std::string> args = {"build"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-", db});
    run_result r = cli(args, text);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string dir_;
};

TEST_F(Cli, HelpAndVersionGoToStandardOutput) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--help"},
                                        {"-h"},
                                        {"build", "--help"},
                                        {"get", "--help"},
                                        {"dump", "-h"},
                                        {"help", "get"}}) {
    run_result r = cli(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out.rfind("Usage: qef64 ", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
  }
  EXPECT_NE(cli({"get", "--help"}).out.find("--keys=FILE"), std::string::npos);
  run_result v = cli({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("qef64 ", 0), 0u);
  EXPECT_EQ(v.out.back(), '\n');
}

// Every format, with --base64 where it takes it, carries every record back
// to the very file qef64make builds; framing is what qef64dump writes.
TEST_F(Cli, RoundTripsEveryFormatToTheSameFile) {
  std::vector<text_record> records = binary_records();
  std::string ref = make(records);
  std::string bytes = read_file(ref);
  run_result dumped =
      run({program("qef64dump")}, ref, run_options{.in = input_kind::path});
  EXPECT_EQ(cli({"dump", ref}).out, dumped.out);
  for (const char* f : {"framing", "tsv", "csv", "jsonl"}) {
    std::vector<std::string> options = {std::string("--format=") + f};
    if (std::string(f) != "framing") options.push_back("--base64");
    std::vector<std::string> args = {"dump"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(ref);
    run_result text = cli(args);
    ASSERT_EQ(text.status, 0) << f << text.err;
    std::string db = path(std::string(f) + ".db");
    build(text.out, db, options);
    EXPECT_EQ(read_file(db), bytes) << f;
    args.back() = db;
    EXPECT_EQ(cli(args).out, text.out) << f;
  }
}

// Without --base64 each format holds what its text can: tsv any byte but
// tab (in the key) and newline; csv everything; jsonl UTF-8.
TEST_F(Cli, RoundTripsTextWithoutBase64) {
  struct {
    const char* format;
    std::vector<text_record> records;
  } cases[] = {
      {"tsv", {{"k", "a\tb\tc"}, {"", ""}, {"\r", "x\ry"}, {"k", " "}}},
      {"csv",
       {{"a,b", "say \"hi\""},
        {"line\nbreak", "cr\r\nlf"},
        {"", ""},
        {std::string("\0", 1), "  blanks  "}}},
      {"jsonl",
       {{"caf\xc3\xa9", "\xf0\x9f\x98\x80"},
        {"\"\\/", "\b\f\n\r\t"},
        {std::string("\0\x1f\x7f", 3), ""}}},
  };
  for (const auto& c : cases) {
    std::string ref = make(c.records, std::string(c.format) + ".ref");
    run_result text = cli({"dump", std::string("--format=") + c.format, ref});
    ASSERT_EQ(text.status, 0) << c.format << text.err;
    std::string db = path(std::string(c.format) + ".db");
    build(text.out, db, {std::string("--format=") + c.format});
    EXPECT_EQ(read_file(db), read_file(ref)) << c.format << "\n" << text.out;
  }
  // What people write: CR LF ends, quoted fields, escapes and a header.
  std::string db = path("x.db");
  build("key,data\r\n\"a\"\"b\",\"1\r\n2\"\r\nc,\r\n", db,
        {"--format=csv", "--header"});
  EXPECT_EQ(cli({"dump", db}).out, "+3,4:a\"b->1\r\n2\n+1,0:c->\n\n");
  build("{\"data\": \"\\u00e9\\ud83d\\ude00\", \"key\": \"\\u0000\"}\r\n", db,
        {"--format=jsonl"});
  EXPECT_EQ(cli({"dump", db}).out,
            std::string("+1,6:\0->\xc3\xa9\xf0\x9f\x98\x80\n\n", 16));
  build("name\tvalue\nk\t\n", db, {"--format=tsv", "--header"});
  EXPECT_EQ(cli({"dump", db}).out, "+1,0:k->\n\n");
}

// Each error names the input, the line and the byte offset, and what was
// expected; the database already there is left as it was, alone.
TEST_F(Cli, InputErrorsNameLineAndOffsetAndLeaveNothing) {
  struct {
    const char* options;
    std::string input;
    const char* message;
  } cases[] = {
      {"--format=tsv", "a\tb\nno tab\n",
       "line 2, byte offset 10: expected a tab after the key"},
      {"--format=tsv", "a\tb\r\n",
       "line 1, byte offset 3: expected the line "
       "to end in LF alone"},
      {"--format=tsv", "a\tb\n\n",
       "line 2, byte offset 4: expected a key and a "
       "tab, found an empty line"},
      {"--format=tsv --base64", "YQ==\tY*==\n",
       "line 1, byte offset 6: expected base64"},
      {"--format=tsv --base64", "YQ\tYQ==\n",
       "line 1, byte offset 2: expected base64"},
      {"--format=csv", "a,b\n\"x\"y,z\n",
       "line 2, byte offset 7: expected a comma or the end of the line after "
       "the closing quote"},
      {"--format=csv", "a,b\nx\"y,z\n",
       "line 2, byte offset 5: expected no quote inside a field"},
      {"--format=csv", "a,b\r\nx,y,z\r\n",
       "line 2, byte offset 5: expected a record of two fields, the key and "
       "the data, found 3"},
      {"--format=csv", "a,b\nlonely\n",
       "line 2, byte offset 4: expected a "
       "record of two fields"},
      {"--format=csv", "a,b\n\"x\ny,z\n",
       "line 2, byte offset 4: expected a closing quote"},
      {"--format=jsonl", "{\"key\":\"a\",\"data\":\"b\"}\n{\"key\":\"\\x\"}\n",
       "line 2, byte offset 32: expected JSON: "},
      {"--format=jsonl", "{\"key\":\"a\",\"data\":\"\xff\"}\n",
       "line 1, byte offset 19: expected JSON: "},
      {"--format=jsonl", "{\"key\":\"a\"}\n",
       "line 1, byte offset 0: expected "
       "an object with the members"},
      {"--format=jsonl", "{\"key\":1,\"data\":\"\"}\n",
       "expected a string for \"key\", found a number"},
      {"--format=jsonl --base64", "{\"key\":\"\",\"data\":\"a\"}\n",
       "line 1, byte offset 0: expected base64"},
      {"--format=framing", "+1,1:a->b\n",
       "line 2, byte offset 10: expected "
       "\"+\" to start a record"},
      {"--format=framing", "+1,1:a->b\r\n\n",
       "line 1, byte offset 9: expected a newline after the data"},
      {"--format=framing", "+2,1:a\n-b\n\n",
       "line 2, byte offset 7: expected \"->\" after the key"},
      {"--format=framing", "+1,1:a->b\n\nmore",
       "line 3, byte offset 11: expected the end of the input"},
  };
  std::string db = path("keep.db");
  std::string before = read_file(make({{"old", "file"}}, "keep.db"));
  std::vector<std::string> after_make = files();
  for (const auto& c : cases) {
    std::vector<std::string> args = {"build"};
    std::string options = c.options;
    for (std::size_t at = 0; at < options.size();) {
      std::size_t space = options.find(' ', at);
      if (space == std::string::npos) space = options.size();
      args.push_back(options.substr(at, space - at));
      at = space + 1;
    }
    args.insert(args.end(), {"--memory=0", "-", db});
    run_result r = cli(args, c.input);
    EXPECT_EQ(r.status, 111) << c.options << ": " << c.input;
    EXPECT_EQ(r.err.rfind("qef64: standard input, ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_TRUE(read_file(db) == before);
    EXPECT_EQ(files(), after_make);
  }
}

TEST_F(Cli, FailedBuildOfManyRecordsLeavesNothing) {
  std::string text;
  for (int i = 0; i < 100000; i++)
    text += "key" + std::to_string(i) + "\tdata\n";
  text += "no tab at the end\n";
  std::string db = path("new.db");
  // A budget of 0 spills nearly every entry, so the spill file is in use.
  run_result r = cli({"build", "--format=tsv", "--memory=0", "-", db}, text);
  EXPECT_EQ(r.status, 111);
  EXPECT_NE(r.err.find("line 100001, "), std::string::npos) << r.err;
  EXPECT_EQ(files(), std::vector<std::string>{});
  // The same build into a directory that is not there.
  r = cli({"build", "--format=tsv", "-", path("none/new.db")}, "a\tb\n");
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, "qef64: unable to build " + path("none/new.db") +
                       ": No such file or directory\n");
}

// Where no file without a name can be made, the build writes under a
// temporary name: an error, and an interrupt as much, must remove it.
TEST_F(Cli, NamedTemporaryFileGoesOnErrorAndInterrupt) {
  run_options o;
  o.env = {"LD_PRELOAD=" QEF64_FAULTS_LIB, "QEF64_FAULTS_TMPFILE=fail"};
  std::string db = path("new.db");
  run_result r = cli({"build", "--format=tsv", "-", db}, "a\tb\nno tab", o);
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(files(), std::vector<std::string>{});

  int feed[2];
  ASSERT_EQ(pipe(feed), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(feed[0], 0);
    close(feed[0]);
    close(feed[1]);
    for (const std::string& e : o.env)
      putenv(strdup(e.c_str()));
    execl(qef64().c_str(), "qef64", "build", "--format=tsv", "-", db.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(feed[0]);
  std::string records;
  for (int i = 0; i < 1000; i++)
    records += "k" + std::to_string(i) + "\tv\n";
  ASSERT_EQ(write(feed[1], records.data(), records.size()),
            static_cast<ssize_t>(records.size()));
  // The build waits on the pipe, its temporary file made.
  for (int i = 0; i < 2000 && files().empty(); i++) {
    timespec ms{0, 5000000};
    nanosleep(&ms, nullptr);
  }
  ASSERT_EQ(files().size(), 1u);
  EXPECT_EQ(files()[0].rfind(".new.db.tmp", 0), 0u) << files()[0];
  kill(pid, SIGINT);
  int status = 0;
  while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
  }
  close(feed[1]);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(files(), std::vector<std::string>{});
}

TEST_F(Cli, DumpRefusesRecordsItsTextCannotHold) {
  struct {
    const char* format;
    text_record bad;
    const char* why;
  } cases[] = {
      {"tsv", {"a\tb", "x"}, "has a tab in its key"},
      {"tsv", {"a", "x\ny"}, "has a newline in its data"},
      {"tsv", {"a", "x\r"}, "has data that ends in a carriage return"},
      {"jsonl",
       {"a", "\xc3"},
       "has data that is not valid UTF-8 (dump it with "
       "--base64)"},
  };
  for (const auto& c : cases) {
    // Record 2 lies after the header and record 1: 4096 + 16 + 1.
    std::string db = make({{"k", ""}, c.bad});
    run_result r = cli({"dump", std::string("--format=") + c.format, db});
    EXPECT_EQ(r.status, 111);
    EXPECT_NE(r.err.find(std::string("as ") + c.format +
                         ": record 2 (at byte offset 4113) " + c.why),
              std::string::npos)
        << r.err;
    run_result b =
        cli({"dump", std::string("--format=") + c.format, "--base64", db});
    EXPECT_EQ(b.status, 0) << b.err;
  }
}

TEST_F(Cli, GetWritesEachRecordAndTellsMissingKeysByStatus) {
  std::vector<text_record> records = {
      {"a", "1"}, {"b", "2"}, {"a", "11"}, {"", "empty"}};
  std::string db = make(records);
  run_result r = cli({"get", db, "a", "b"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1\n2\n");
  r = cli({"get", db, "a", "zz", "b"});
  EXPECT_EQ(r.status, 100);
  EXPECT_EQ(r.out, "1\n2\n");
  EXPECT_EQ(r.err, "");
  r = cli({"get", "--all", "--tsv", db, "a", ""});
  EXPECT_EQ(r.out, "a\t1\na\t11\n\tempty\n");
  r = cli({"get", "--null", "--keys=-", db}, std::string("a\0\0b", 4));
  EXPECT_EQ(r.out, std::string("1\0empty\0002\0", 10));
  r = cli({"get", "--keys=-", db}, "a\r\n");
  EXPECT_EQ(r.status, 111);
  EXPECT_NE(r.err.find("line 1, byte offset 1: expected the key to end at LF"),
            std::string::npos);
}

// Thousands of keys from a file, in batches, give what a qef64get process
// a key gives, in order; --all gives what the loop over skip gives.
TEST_F(Cli, GetFromAKeyFileMatchesOneLookupAKey) {
  std::vector<text_record> records;
  for (int i = 0; i < 3000; i++)
    records.push_back(
        {"k" + std::to_string(i % 2500), "v" + std::to_string(i)});
  std::string db = make(records);
  std::string keys, expected;
  for (int i = 2999; i >= 0; i -= 3) {
    keys += "k" + std::to_string(i) + "\n";
    if (i < 2500) expected += "v" + std::to_string(i) + "\n";
  }
  run_result r = cli({"get", "--keys", "-", db}, keys);
  EXPECT_EQ(r.status, 100);  // k2500 and above have no records
  EXPECT_EQ(r.out, expected);

  std::string loop;
  for (int skip = 0;; skip++) {
    run_result g = run({program("qef64get"), "k7", std::to_string(skip)}, db,
                       run_options{.in = input_kind::path});
    if (g.status != 0) break;
    loop += g.out + "\n";
  }
  EXPECT_EQ(cli({"get", "--all", db, "k7"}).out, loop);
  EXPECT_EQ(loop, "v7\nv2507\n");
}

// The warmed file is in memory after: its tables are the header and 32
// bytes a record, 4160; its records 16 + 1 + 1 and 16 + 2 + 10000 bytes.
TEST_F(Cli, WarmSaysWhatIsInMemory) {
  std::string db = make({{"a", "1"}, {"bb", std::string(10000, 'x')}});
  for (const char* option : {"--tables", "--progress"}) {
    run_result r = cli({"warm", option, db});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("tables in memory: 4160 of 4160 bytes (100.0%)\n"
                          "records in memory: ",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find(" of 10036 bytes ("), std::string::npos) << r.out;
    EXPECT_EQ(r.err.empty(), std::string(option) == "--tables") << r.err;
  }
  run_result r = cli({"warm", db, db});
  EXPECT_EQ(r.status, 111);
}

TEST_F(Cli, FailuresAreOneLineAndStatus111) {
  std::string db = make({{"a", "1"}});
  std::vector<std::vector<std::string>> cases = {
      {},
      {"frob"},
      {"--frob"},
      {"get", db},
      {"get", "--bogus", db, "a"},
      {"get", "--keys"},
      {"build", "-"},
      {"build", "--memory=12Q", "-", db},
      {"build", "--format=xml", "-", db},
      {"build", "--base64", "in.txt", db},
      {"dump", db, db},
      {"get", path("missing.db"), "a"},
      {"build", path("missing.tsv"), db},
  };
  for (const auto& args : cases) {
    run_result r = cli(args);
    EXPECT_EQ(r.status, 111) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(r.err.rfind("qef64: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
  run_result full =
      cli({"dump", db}, "", run_options{.out = output_kind::full});
  EXPECT_EQ(full.status, 111);
  EXPECT_EQ(full.err,
            "qef64: unable to write output: No space left on device\n");
}

TEST_F(Cli, ProgressOnlyWhenAskedOffATerminal) {
  std::string db = path("p.db");
  run_result quiet = cli({"build", "--format=tsv", "-", db}, "a\tb\n");
  EXPECT_EQ(quiet.err, "");
  run_result shown =
      cli({"build", "--progress", "--format=tsv", "-", db}, "a\tb\nc\td\n");
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.err.find("qef64: 2 records, 0.0 MB in "), std::string::npos)
      << shown.err;
  run_result off =
      cli({"build", "--progress", "--no-progress", "--format=tsv", "-", db},
          "a\tb\n");
  EXPECT_EQ(off.err, "");
}

}  // namespace
