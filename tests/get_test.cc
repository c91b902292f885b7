// qef64get as a process, on databases built by qef64make.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "db/format.h"
#include "tests/process.h"

using namespace qef64;  // the engines and runtime under test

namespace {

std::string frame(const std::string& key, const std::string& data) {
  return "+" + std::to_string(key.size()) + "," + std::to_string(data.size()) +
         ":" + key + "->" + data + "\n";
}

class Get : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { remove_tree(dir_); }

  // Builds db from the records with qef64make.
  void build(const std::vector<std::pair<std::string, std::string>>& records) {
    std::string text;
    for (const auto& [k, d] : records)
      text += frame(k, d);
    run_result r =
        run({program("qef64make"), db(), db() + ".tmp"}, text + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string db() const { return dir_ + "/db"; }

  run_result get(const std::vector<std::string>& args,
                 output_kind out = output_kind::pipe) {
    std::vector<std::string> argv{program("qef64get")};
    argv.insert(argv.end(), args.begin(), args.end());
    run_options o;
    o.in = input_kind::path;
    o.out = out;
    return run(argv, db(), o);
  }

  std::string dir_;
};

TEST_F(Get, SkipSelectsTheRecordsOfAKeyInOrder) {
  std::string nul("a\0b", 3);
  build({{"abc", "first"},
         {"x", "y"},
         {"abc", "second"},
         {"", "empty key"},
         {"abc", "third"},
         {"bin", nul + "\n->+\xff"}});
  struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"abc"}, 0, "first"},
      {{"abc", "0"}, 0, "first"},
      {{"abc", "1"}, 0, "second"},
      {{"abc", "2"}, 0, "third"},
      {{"abc", "3"}, 100, ""},
      {{"abc", "99999999999999999999"}, 100, ""},
      {{"abc", "18446744073709551615"}, 100, ""},
      {{"abc", "18446744073709551617"}, 100, ""},  // not 1: no wrapping
      {{"abc", "x"}, 0, "first"},
      {{"abc", "2x"}, 0, "third"},
      {{"abc", "-1"}, 0, "first"},
      {{"abc", "1", "ignored"}, 0, "second"},
      {{""}, 0, "empty key"},
      {{"bin"}, 0, nul + "\n->+\xff"},
      {{"absent"}, 100, ""},
      {{"ab"}, 100, ""},
  };
  for (const auto& c : cases) {
    run_result r = get(c.args);
    std::string label = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(r.status, c.status) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(r.err, "") << label;
  }
}

// A skip past 2^64 - 1 passes over more records than any key has, whatever
// its digits would wrap to; leading zeros count for nothing.
TEST_F(Get, SkipBeyond64BitsFindsNothing) {
  build({{"k", "first"}, {"k", "second"}});
  struct {
    const char* skip;
    int status;
    std::string out;
  } cases[] = {
      {"18446744073709551616", 100, ""},   // 2^64, which wraps to 0
      {"18446744073709551617", 100, ""},   // wraps to 1
      {"18446744073709551617x", 100, ""},  // digits, then a letter
      {"36893488147419103233", 100, ""},   // 2^65 + 1
      {"92233720368547758080", 100, ""},   // 5 * 2^64
      {"00000000000000000000000001", 0, "second"},
  };
  for (const auto& c : cases) {
    run_result r = get({"k", c.skip});
    EXPECT_EQ(r.status, c.status) << c.skip;
    EXPECT_EQ(r.out, c.out) << c.skip;
    EXPECT_EQ(r.err, "") << c.skip;
  }
}

TEST_F(Get, UsageNeedsAKey) {
  build({});
  run_result r = get({});
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, "qefget: usage: qefget key [skip]\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(Get, LongDataComesOutWhole) {
  std::string d1024(1024, 'a'), d1025(1025, 'b'), big(100000, 'c');
  for (std::size_t i = 0; i < big.size(); i++)
    big[i] = static_cast<char>(i);
  build({{"a", d1024}, {"b", d1025}, {"c", big}});
  EXPECT_EQ(get({"a"}).out, d1024);
  EXPECT_EQ(get({"b"}).out, d1025);
  EXPECT_EQ(get({"c"}).out, big);
}

TEST_F(Get, OutputFailuresAreReported) {
  build({{"k", "data"}, {"e", ""}});
  for (output_kind out : {output_kind::closed, output_kind::full}) {
    run_result r = get({"k"}, out);
    EXPECT_EQ(r.status, 111);
    std::string text = out == output_kind::closed ? std::strerror(EBADF)
                                                  : std::strerror(ENOSPC);
    EXPECT_EQ(r.err, "qef64get: fatal: unable to write output: " + text + "\n");
    // Empty data needs no write, so even a closed output succeeds.
    r = get({"e"}, out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(Get, DamagedAndUnseekableInputsAreReadFailures) {
  const std::string proto =
      std::string("qef64get: fatal: unable to read input: ") +
      std::strerror(EPROTO) + "\n";
  // An empty file.
  write_file(db(), "");
  run_result r = get({"k"});
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, proto);
  // A pipe cannot be read by position.
  r = run({program("qef64get"), "k"}, std::string(4096, '\0'));
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, std::string("qef64get: fatal: unable to read input: ") +
                       std::strerror(ESPIPE) + "\n");

  // Data that runs past the end of the file: the whole chunks before the
  // end are written, then the failure.
  std::string data(3000, 'd');
  build({{"k", data}});
  std::string file = read_file(db());
  // Claim 2^40 bytes of data: everything up to the end of the file is data.
  std::string claimed = file;
  store_u64le(reinterpret_cast<unsigned char*>(&claimed[4096 + 8]),
              std::uint64_t{1} << 40);
  write_file(db(), claimed);
  r = get({"k"});
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, proto);
  std::size_t whole = (file.size() - 4096 - 17) / 1024 * 1024;
  EXPECT_EQ(r.out, file.substr(4096 + 17, whole));

  // A negative data length is damage, not empty data.
  std::string negative = file;
  store_u64le(reinterpret_cast<unsigned char*>(&negative[4096 + 8]),
              ~std::uint64_t{0});
  write_file(db(), negative);
  r = get({"k"});
  EXPECT_EQ(r.status, 111);
  EXPECT_EQ(r.err, proto);
  EXPECT_EQ(r.out, "");
}

// With the database mapped, the lookup makes no system call on it, and the
// data leaves in one write per full 1024-byte chunk.
TEST_F(Get, MappedLookupMakesNoCallsAndWritesWholeChunks) {
  if (system("command -v strace >/dev/null 2>&1") != 0) GTEST_SKIP();
  build({{"k", std::string(2500, 'x')}});
  std::string trace = dir_ + "/trace";
  run_options o;
  o.in = input_kind::path;
  run_result r =
      run({"/bin/sh", "-c",
           "exec strace -o " + trace + " " + program("qef64get") + " k"},
          db(), o);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), 2500u);
  std::string t = read_file(trace);
  std::size_t mapped = t.find(", PROT_READ, MAP_SHARED, 0, 0)");
  ASSERT_NE(mapped, std::string::npos) << t;
  std::string after = t.substr(mapped);
  for (const char* call : {"read(0", "lseek(0", "pread64(0"}) {
    EXPECT_EQ(after.find(call), std::string::npos) << call;
  }
  std::vector<std::string> writes;
  for (std::size_t at = after.find("\nwrite(1,"); at != std::string::npos;
       at = after.find("\nwrite(1,", at + 1)) {
    std::size_t eq = after.find(" = ", at);
    writes.push_back(after.substr(eq + 3, after.find('\n', eq) - eq - 3));
  }
  EXPECT_EQ(writes, (std::vector<std::string>{"1024", "1024", "452"}));
}

}  // namespace
