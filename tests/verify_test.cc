// qef64test as a process: the five outcome counts for built and hand-made
// databases, and the failures of the walk and of the lookups.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/process.h"

namespace {

using record = text_record;

std::string make_db(const std::vector<record>& records) {
  std::string dir = make_temp_dir();
  run_result r =
      run({program("qef64make"), dir + "/db", dir + "/tmp"}, framing(records));
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

std::string counts(int found, int different, int bad, int not_found,
                   int untested) {
  return "found: " + std::to_string(found) +
         "\ndifferent record: " + std::to_string(different) +
         "\nbad length: " + std::to_string(bad) +
         "\nnot found: " + std::to_string(not_found) +
         "\nuntested: " + std::to_string(untested) + "\n";
}

run_result verify(const std::string& db, input_kind in = input_kind::file,
                  output_kind out = output_kind::pipe) {
  run_options options;
  options.in = in;
  options.out = out;
  return run({program("qef64test")}, db, options);
}

const std::string prefix = "qef64test: fatal: ";

TEST(Verify, CountsEveryOutcome) {
  std::vector<record> distinct;
  for (int i = 0; i < 2000; i++) {
    distinct.push_back({"key" + std::to_string(i), std::string(i % 5, 'v')});
  }
  // "a" and "b" select tables 196 and 199. Zeroing the slot count of table
  // 196 (descriptor bytes 3144 to 3151) leaves its records unreachable.
  std::string damaged = make_db({{"a", "x"}, {"b", "y"}, {"a", "z"}});
  damaged.replace(196 * 16 + 8, 8, u64(0));
  const struct {
    const char* name;
    std::string db;
    std::string out;
  } cases[] = {
      {"empty database", make_db({}), counts(0, 0, 0, 0, 0)},
      {"distinct keys", make_db(distinct), counts(2000, 0, 0, 0, 0)},
      {"a key three times",
       make_db({{"k", "1"}, {"other", ""}, {"k", "22"}, {"k", ""}}),
       counts(2, 2, 0, 0, 0)},
      {"key lengths 1024 and 1025",
       make_db({{std::string(1024, 'k'), "tested"},
                {std::string(1025, 'k'), std::string(9000, 's')},
                {std::string(9000, 'l'), "x"},
                {"after", "them"}}),
       counts(2, 0, 0, 0, 2)},
      {"a damaged table", damaged, counts(1, 0, 0, 2, 0)},
  };
  for (const auto& c : cases) {
    run_result r = verify(c.db);
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
  }
}

TEST(Verify, StopsOnDamagedDatabases) {
  const std::string db = make_db({{"a", "x"}, {"bb", "yz"}});
  const std::size_t records_end = 4096 + 18 + 20;
  ASSERT_EQ(db.size(), records_end + 2 * 32);
  const std::string long_key = make_db({{std::string(1025, 'k'), "data"}});
  const std::string truncated =
      prefix + "unable to read input: truncated file\n";
  const std::string read_error = prefix + "unable to read input: ";
  const struct {
    const char* name;
    std::string input;
    input_kind in;
    std::string err;
  } cases[] = {
      {"cut inside the header", db.substr(0, 4000), input_kind::file,
       truncated},
      {"cut inside a key", db.substr(0, 4096 + 16), input_kind::file,
       truncated},
      {"cut inside skipped key", long_key.substr(0, 4096 + 16 + 1000),
       input_kind::file, truncated},
      {"a header number of 2^63",
       std::string(db).replace(4000, 8, u64(std::uint64_t{1} << 63)),
       input_kind::file, prefix + "unable to read input: malformatted file\n"},
      {"cut inside the hash tables", db.substr(0, records_end + 40),
       input_kind::file, read_error + std::strerror(EPROTO) + "\n"},
      {"a pipe", db, input_kind::pipe,
       read_error + std::strerror(ESPIPE) + "\n"},
  };
  for (const auto& c : cases) {
    run_result r = verify(c.input, c.in);
    EXPECT_EQ(r.status, 111) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
  }
  // Without a key to look up, a pipe will do.
  run_result r = verify(long_key, input_kind::pipe);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, counts(0, 0, 0, 0, 1));
}

TEST(Verify, ReportsOutputFailures) {
  const std::string db = make_db({{"one", "Hello"}});
  const struct {
    output_kind out;
    int error;
  } cases[] = {{output_kind::closed, EBADF}, {output_kind::full, ENOSPC}};
  for (const auto& c : cases) {
    run_result r = verify(db, input_kind::file, c.out);
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(r.err, prefix + "unable to write output: " +
                         std::strerror(c.error) + "\n");
  }
}

TEST(Verify, IgnoresArguments) {
  run_options options;
  options.in = input_kind::file;
  run_result r = run({program("qef64test"), "--all", "db"},
                     make_db({{"one", "Hello"}}), options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, counts(1, 0, 0, 0, 0));
}

}  // namespace
