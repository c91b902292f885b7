// The scanners move bytes between the stream buffers in runs, format a
// record's head in one piece and take buffered numbers without a call; none
// of that may change a single system call. Each scanner runs under strace
// beside qef64_literal, the same walk written one get and one put at a time,
// and both must make the same reads, writes and seeks, with the same counts
// and results, and print the same bytes: on plain files, with reads and
// writes cut short or interrupted by the fault preload, and read by position.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/process.h"

#ifndef QEF64_LITERAL
#error "QEF64_LITERAL names the literal scanner"
#endif
#ifndef QEF64_FAULTS_LIB
#error "QEF64_FAULTS_LIB names the preload library"
#endif

namespace {

using record = text_record;

struct lcg {
  std::uint32_t state;
  std::uint32_t next(std::uint32_t bound) {
    state = state * 1103515245 + 12345;
    return (state >> 8) % bound;
  }
  std::string bytes(std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s)
      c = static_cast<char>(next(256));
    return s;
  }
};

// Short records of every length up to a few hundred bytes, so that the
// output buffer ends at every offset of a record's head, and the input
// buffer at every offset of its numbers.
std::vector<record> short_records() {
  lcg g{7};
  std::vector<record> v;
  for (int i = 0; i < 3000; i++) {
    std::size_t key_len = g.next(3) == 0 ? g.next(4) : 1 + g.next(40);
    std::size_t data_len = g.next(4) == 0 ? g.next(3) : g.next(700);
    v.push_back({g.bytes(key_len), g.bytes(data_len)});
  }
  return v;
}

// Lengths around the copy chunk, the key buffer and the stream buffers,
// long keys that are skipped, and keys added more than once.
std::vector<record> long_records() {
  lcg g{11};
  const std::size_t lengths[] = {0,    1,    511,  512,  513,  1023,
                                 1024, 1025, 8191, 8192, 8193, 20000};
  std::vector<record> v;
  for (std::size_t k : lengths) {
    for (std::size_t d : lengths)
      v.push_back({g.bytes(k), g.bytes(d)});
  }
  for (int i = 0; i < 40; i++)
    v.push_back({"again", g.bytes(g.next(30))});
  return v;
}

// Each call to descriptors 0 to 2 in order, without the bytes moved: name,
// descriptor, count or offset, and result.
std::vector<std::string> calls(const std::string& trace) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < trace.size()) {
    std::size_t end = trace.find('\n', at);
    if (end == std::string::npos) end = trace.size();
    std::string line = trace.substr(at, end - at);
    at = end + 1;
    std::size_t paren = line.find('(');
    if (paren == std::string::npos || paren + 2 >= line.size()) continue;
    char fd = line[paren + 1];
    if (line[paren + 2] != ',' || fd < '0' || fd > '2') continue;
    std::string name = line.substr(0, paren);
    std::string rest;
    if (line.find('"') != std::string::npos) {
      // read(0, ""..., 8192) = 8192 under -s 0: drop the quoted bytes.
      std::size_t close = line.rfind("\", ");
      std::size_t cut_short = line.rfind("\"..., ");
      if (close == std::string::npos ||
          (cut_short != std::string::npos && cut_short > close))
        close = cut_short;
      rest = line.substr(line.find(", ", close) + 2);
    } else {
      rest = line.substr(paren + 3);
    }
    std::string normalised = name + " " + fd + " " + rest;
    // Spacing before " = " depends on the length strace printed.
    std::size_t eq = normalised.find(" = ");
    std::size_t cut = normalised.find_last_not_of(' ', eq);
    out.push_back(normalised.substr(0, cut + 1) + normalised.substr(eq));
  }
  return out;
}

class Syscalls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v strace >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "strace is not installed";
    dir_ = make_temp_dir();
  }
  void TearDown() override {
    if (!dir_.empty()) remove_tree(dir_);
  }

  std::string build(const std::vector<record>& records) {
    std::string db = dir_ + "/db";
    run_result r =
        run({program("qef64make"), db, dir_ + "/tmp"}, framing(records));
    EXPECT_EQ(r.status, 0) << r.err;
    return db;
  }

  struct traced {
    run_result result;
    std::vector<std::string> calls;
  };

  traced trace(const std::string& command, const std::string& db,
               const std::vector<std::string>& env) {
    std::string file = dir_ + "/trace";
    std::string line =
        "exec strace -o " + file + " -s 0 -e trace=read,write,lseek";
    for (const std::string& e : env)
      line += " -E " + e;
    line += " " + command;
    run_options o;
    o.in = input_kind::path;
    traced t;
    t.result = run({"/bin/sh", "-c", line}, db, o);
    t.calls = calls(read_file(file));
    return t;
  }

  // The scanner and the literal walk under the same environment.
  void compare(const std::string& tool, const std::string& mode,
               const std::string& db, const std::vector<std::string>& env) {
    traced ours = trace(program(tool), db, env);
    traced literal = trace(std::string(QEF64_LITERAL) + " " + mode, db, env);
    ASSERT_EQ(literal.result.status, 0) << literal.result.err;
    EXPECT_EQ(ours.result.status, 0) << ours.result.err;
    EXPECT_EQ(ours.result.out, literal.result.out);
    ASSERT_FALSE(literal.calls.empty());
    EXPECT_EQ(ours.calls, literal.calls);
  }

  void compare_all(const std::string& db) {
    const std::pair<const char*, const char*> tools[] = {
        {"qef64dump", "dump"}, {"qef64test", "test"}, {"qef64stats", "stats"}};
    const std::string preload = "LD_PRELOAD=" QEF64_FAULTS_LIB;
    for (const auto& [tool, mode] : tools) {
      SCOPED_TRACE(tool);
      compare(tool, mode, db, {});
      for (const char* seed : {"1", "2", "3"}) {
        SCOPED_TRACE(seed);
        compare(tool, mode, db,
                {preload, std::string("QEF64_FAULTS_SEED=") + seed});
      }
      if (std::string(mode) != "dump")
        compare(tool, mode, db, {preload, "QEF64_FAULTS_MMAP=fail"});
    }
  }

  std::string dir_;
};

TEST_F(Syscalls, ShortRecordsAsTheLiteralWalk) {
  compare_all(build(short_records()));
}

TEST_F(Syscalls, LongRecordsAsTheLiteralWalk) {
  compare_all(build(long_records()));
}

}  // namespace
