// qef64dump as a process: record text out of files and pipes, round trips
// through qef64make, and every way a streamed database can be damaged.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/process.h"

namespace {

using record = text_record;

std::string make_db(const std::string& text) {
  std::string dir = make_temp_dir();
  run_result r = run({program("qef64make"), dir + "/db", dir + "/tmp"}, text);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string db = read_file(dir + "/db");
  remove_tree(dir);
  return db;
}

std::string u64(std::uint64_t v) {
  std::string s(8, '\0');
  for (int k = 0; k < 8; k++)
    s[k] = static_cast<char>(v >> (8 * k));
  return s;
}

std::string bytes(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; i++) {
    seed = seed * 1103515245 + 12345;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

run_result dump(const std::string& db, input_kind in = input_kind::file,
                output_kind out = output_kind::pipe) {
  run_options options;
  options.in = in;
  options.out = out;
  return run({program("qef64dump")}, db, options);
}

const std::string prefix = "qef64dump: fatal: ";
const std::string truncated = prefix + "unable to read input: truncated file\n";
const std::string malformatted =
    prefix + "unable to read input: malformatted file\n";

TEST(Dump, WritesEveryRecordAsFraming) {
  EXPECT_EQ(framing({{"one", "Hello"}}), "+3,5:one->Hello\n\n");
  const struct {
    const char* name;
    std::vector<record> records;
  } cases[] = {
      {"empty database", {}},
      {"one record", {{"one", "Hello"}}},
      {"empty key and data", {{"", ""}}},
      {"any bytes",
       {{std::string("k\n->+\0\xff", 7), std::string("\0\n\n->\x80", 6)},
        {"", std::string(1, '\0')}}},
      {"chunk boundaries",
       {{"a", std::string(512, 'x')},
        {"b", std::string(513, 'y')},
        {std::string(512, 'k'), std::string(1023, 'z')},
        {std::string(513, 'l'), bytes(8193, 1)}}},
      {"beyond the buffers",
       {{bytes(9000, 2), bytes(20000, 3)}, {"k", bytes(70000, 4)}, {"e", ""}}},
  };
  for (const auto& c : cases) {
    std::string db = make_db(framing(c.records));
    for (input_kind in : {input_kind::file, input_kind::pipe}) {
      run_result r = dump(db, in);
      EXPECT_EQ(r.status, 0) << c.name;
      EXPECT_EQ(r.err, "") << c.name;
      EXPECT_TRUE(r.out == framing(c.records)) << c.name;
    }
  }
}

TEST(Dump, RebuildsTheSameDatabase) {
  std::vector<record> records;
  for (int i = 0; i < 300; i++) {
    records.push_back(
        {"key" + std::to_string(i % 97), bytes(i * 37 % 1500, i)});
  }
  std::string db = make_db(framing(records));
  run_result r = dump(db, input_kind::pipe);
  ASSERT_EQ(r.status, 0);
  EXPECT_TRUE(make_db(r.out) == db);

  // The two programs joined by a pipe, as they are used.
  std::string dir = make_temp_dir();
  write_file(dir + "/a", db);
  std::string script =
      program("qef64dump") + " < a | " + program("qef64make") + " b b.tmp";
  run_options options;
  options.cwd = dir;
  r = run({"/bin/sh", "-c", script}, "", options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(dir + "/b") == db);
  remove_tree(dir);
}

// Records: "key1" with 20000 data bytes at 4096 (key at 4112, data at 4116),
// "k2" -> "x" at 24116, "k3" -> "" at 24135; the records end at 24153.
std::string three_records() {
  return make_db(framing({{"key1", bytes(20000, 5)}, {"k2", "x"}, {"k3", ""}}));
}

TEST(Dump, StopsOnDamagedInput) {
  const std::string db = three_records();
  ASSERT_EQ(db.size(), 24153u + 3 * 32);
  const std::string whole = dump(db).out;
  auto with = [&](std::size_t at, std::uint64_t v) {
    return std::string(db).replace(at, 8, u64(v));
  };
  const struct {
    const char* name;
    std::string input;
    const std::string& err;
  } cases[] = {
      {"empty input", "", truncated},
      {"inside the header", db.substr(0, 4095), truncated},
      {"inside a length", db.substr(0, 4096 + 13), truncated},
      {"inside a key", db.substr(0, 4114), truncated},
      {"inside data", db.substr(0, 24000), truncated},
      {"inside the next record", db.substr(0, 24130), truncated},
      {"first number 2^60", with(0, std::uint64_t{1} << 60), malformatted},
      {"a slot count 2^60", with(8, std::uint64_t{1} << 60), malformatted},
      {"last header number", with(4088, ~std::uint64_t{0}), malformatted},
      {"key length 2^60", with(24116, std::uint64_t{1} << 60), malformatted},
      {"data length 2^63", with(4104, std::uint64_t{1} << 63), malformatted},
  };
  for (const auto& c : cases) {
    for (input_kind in : {input_kind::file, input_kind::pipe}) {
      run_result r = dump(c.input, in);
      EXPECT_EQ(r.status, 111) << c.name;
      EXPECT_EQ(r.err, c.err) << c.name;
      // What was flushed before the failure is the start of the dump.
      EXPECT_EQ(whole.compare(0, r.out.size(), r.out), 0) << c.name;
    }
  }
  // Refills flush the record text written so far.
  EXPECT_GT(dump(db.substr(0, 24130)).out.size(), 16384u);
}

TEST(Dump, EndsTheWalkAtTheRecordsEnd) {
  const std::string db = three_records();
  const std::string whole = dump(db).out;
  auto first = [&](std::uint64_t v) {
    return std::string(db).replace(0, 8, u64(v));
  };
  const std::string record1 = whole.substr(0, whole.find("+2,1:"));
  const struct {
    const char* name;
    std::string input;
    std::string out;
  } cases[] = {
      {"largest header number",
       std::string(db).replace(8, 8, u64((std::uint64_t{1} << 60) - 1)), whole},
      {"first number 0", first(0), "\n"},
      {"first number 4095", first(4095), "\n"},
      {"first number 4096", first(4096), "\n"},
      {"record crossing the end", first(4097), record1 + "\n"},
      {"no hash tables", db.substr(0, 24153), whole},
      {"bytes after the records", db.substr(0, 24153) + bytes(5000, 6), whole},
  };
  for (const auto& c : cases) {
    run_result r = dump(c.input, input_kind::pipe);
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_TRUE(r.out == c.out) << c.name;
  }
}

TEST(Dump, ReportsOutputFailures) {
  // A small dump is written by the final flush; a large one first by the
  // flush before a refill, which fails as the read.
  const std::string small = make_db(framing({{"one", "Hello"}}));
  const std::string large = three_records();
  const struct {
    output_kind out;
    int error;
  } cases[] = {{output_kind::closed, EBADF}, {output_kind::full, ENOSPC}};
  for (const auto& c : cases) {
    std::string text = std::strerror(c.error);
    run_result r = dump(small, input_kind::file, c.out);
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(r.err, prefix + "unable to write output: " + text + "\n");
    r = dump(large, input_kind::file, c.out);
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(r.err, prefix + "unable to read input: " + text + "\n");
  }
}

TEST(Dump, IgnoresArguments) {
  const std::string db = make_db(framing({{"one", "Hello"}}));
  run_result r = run({program("qef64dump"), "-h", "x"}, db);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "+3,5:one->Hello\n\n");
}

// The scanners run without the heap and without libstdc++.
TEST(Scanners, AllocateNothing) {
#ifdef QEF64_SANITIZE_BUILD
  GTEST_SKIP() << "the sanitizer runtimes allocate";
#else
  std::string dir = make_temp_dir();
  write_file(
      dir + "/nomalloc.c",
      "#include <stdlib.h>\n#include <unistd.h>\n"
      "void* malloc(size_t n) { (void)n; abort(); }\n"
      "void* calloc(size_t a, size_t b) { (void)a; (void)b; abort(); }\n"
      "void* realloc(void* p, size_t n) { (void)p; (void)n; abort(); }\n");
  std::string cc = "cc -shared -fPIC -o " + dir + "/nomalloc.so " + dir +
                   "/nomalloc.c 2>/dev/null";
  if (std::system(cc.c_str()) != 0) {
    remove_tree(dir);
    GTEST_SKIP() << "no C compiler to build the allocation trap";
  }
  const std::string db = three_records();
  run_options options;
  options.in = input_kind::file;
  options.env = {"LD_PRELOAD=" + dir + "/nomalloc.so"};
  for (const char* name : {"qef64dump", "qef64stats", "qef64test"}) {
    run_result r = run({program(name)}, db, options);
    EXPECT_EQ(r.status, 0) << name << " " << r.signal;
    r = run({program(name)}, db.substr(0, 5000), options);  // a fatal path
    EXPECT_EQ(r.status, 111) << name << " " << r.signal;
    std::string nm = "nm -u " + program(name) + " | grep -q GLIBCXX";
    EXPECT_NE(std::system(nm.c_str()), 0) << name;
  }
  // The lookup tool too: a lookup that finds nothing, and a fatal message.
  run_result r = run({program("qef64get"), "absent"}, db, options);
  EXPECT_EQ(r.status, 100) << r.signal;
  r = run({program("qef64get"), "absent"}, "", options);
  EXPECT_EQ(r.status, 111) << r.signal;
  remove_tree(dir);
#endif
}

}  // namespace
