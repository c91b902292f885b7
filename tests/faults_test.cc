// The programs under disturbed system calls: with the preload library that
// makes read and write return EINTR and short counts, every program must
// give byte for byte what it gives without it; and when output cannot be
// written (file-size limit, full disk, standard output on /dev/full or
// closed) each must give its write-failure message, status 111, and leave
// the database f as it was.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/process.h"

#ifndef QEF64_FAULTS_LIB
#error "QEF64_FAULTS_LIB names the preload library"
#endif

namespace {

#ifdef QEF64_SANITIZE_BUILD
constexpr int database_count = 24;
#else
constexpr int database_count = 10;
#endif

using record = std::pair<std::string, std::string>;

std::string framing(const std::vector<record>& records) {
  std::string text;
  for (const auto& [k, d] : records) {
    text += "+" + std::to_string(k.size()) + "," + std::to_string(d.size()) +
            ":" + k + "->" + d + "\n";
  }
  return text + "\n";
}

// Records of every shape the programs distinguish: keys repeated, empty,
// longer than 32 and than 1024 bytes, data across the stream buffers.
std::vector<record> random_records(std::mt19937_64& rng) {
  std::vector<record> records;
  std::size_t n = rng() % 200;
  for (std::size_t i = 0; i < n; i++) {
    std::string key;
    std::size_t klen = rng() % 10 == 0 ? 1020 + rng() % 10 : rng() % 40;
    for (std::size_t j = 0; j < klen; j++)
      key += static_cast<char>('a' + rng() % 3);
    if (!records.empty() && rng() % 5 == 0)
      key = records[rng() % records.size()].first;
    std::size_t dlen = rng() % 20 == 0 ? 9000 + rng() % 9000 : rng() % 300;
    std::string data(dlen, '\0');
    for (char& c : data)
      c = static_cast<char>(rng());
    records.push_back({key, data});
  }
  return records;
}

struct totals {
  std::size_t runs = 0;  // disturbed runs, each compared with a clean one
  std::uint64_t faults = 0;
};

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { remove_tree(dir_); }

  // The same run with and without the preload library; everything it
  // shows must agree. Returns the clean result.
  run_result compare(const std::vector<std::string>& argv,
                     const std::string& input, run_options options,
                     const std::string& what, bool no_mmap = false) {
    if (no_mmap) {
      options.env.push_back("LD_PRELOAD=" QEF64_FAULTS_LIB);
      options.env.push_back("QEF64_FAULTS_MMAP=fail");
    }
    run_result clean = run(argv, input, options);
    std::string count = dir_ + "/count";
    unlink(count.c_str());
    options.env.push_back("LD_PRELOAD=" QEF64_FAULTS_LIB);
    options.env.push_back("QEF64_FAULTS_SEED=" + std::to_string(++seed_));
    options.env.push_back("QEF64_FAULTS_COUNT=" + count);
    run_result faulty = run(argv, input, options);
    totals_.runs++;
    std::string c = read_file(count);
    std::uint64_t injected = 0;
    if (c.size() == 8) std::memcpy(&injected, c.data(), 8);
    totals_.faults += injected;
    EXPECT_FALSE(clean.timed_out || faulty.timed_out) << what;
    EXPECT_EQ(clean.status, faulty.status) << what << ", seed " << seed_;
    EXPECT_EQ(clean.signal, faulty.signal) << what << ", seed " << seed_;
    EXPECT_TRUE(clean.out == faulty.out) << what << ", seed " << seed_;
    EXPECT_EQ(clean.err, faulty.err) << what << ", seed " << seed_;
    return clean;
  }

  std::string dir_;
  int seed_ = 0;
  totals totals_;
};

TEST_F(Faults, EveryProgramGivesTheSameBytes) {
  std::mt19937_64 rng(20261209);
  const std::string f = dir_ + "/f", ftmp = dir_ + "/ftmp";
  std::vector<std::string> scanners;
  for (const char* n : {"qef64dump", "qef64stats", "qef64test"}) {
    if (file_exists(program(n))) scanners.push_back(n);
  }
  run_options on_pipe, on_file;
  on_file.in = input_kind::file;
  for (int i = 0; i < database_count; i++) {
    std::vector<record> records = random_records(rng);
    std::string text = framing(records);
    std::string what = "database " + std::to_string(i);

    run_result made = run({program("qef64make"), f, ftmp}, text, on_pipe);
    ASSERT_EQ(made.status, 0) << made.err;
    std::string clean_file = read_file(f);
    unlink(f.c_str());
    compare({program("qef64make"), f, ftmp}, text, on_pipe,
            what + ", qef64make");
    ASSERT_TRUE(read_file(f) == clean_file)
        << what << ": the disturbed build differs";

    for (const std::string& s : scanners) {
      compare({program(s)}, clean_file, on_file,
              what + ", " + s + " on a file");
      if (s == "qef64dump") {
        compare({program(s)}, clean_file, on_pipe,
                what + ", qef64dump on a pipe");
      } else {
        compare({program(s)}, clean_file, on_file,
                what + ", " + s + " by position", true);
      }
    }
    std::string key =
        records.empty() ? "absent" : records[rng() % records.size()].first;
    if (key.find('\0') != std::string::npos || key.size() > 1000) key = "a";
    for (const char* skip : {"0", "1"}) {
      compare({program("qef64get"), key, skip}, clean_file, on_file,
              what + ", qef64get " + skip);
      compare({program("qef64get"), key, skip}, clean_file, on_file,
              what + ", qef64get " + skip + " by position", true);
    }
  }
  std::printf(
      "faults: %zu disturbed runs identical to clean ones, %llu faults "
      "injected\n",
      totals_.runs, static_cast<unsigned long long>(totals_.faults));
  EXPECT_GT(totals_.faults, totals_.runs)
      << "the preload library injected nothing";
}

// A database of a few records whose data overflows the builder's buffer,
// so the build needs several writes.
std::string sample_text() {
  std::vector<record> records;
  for (int i = 0; i < 40; i++)
    records.push_back({"key" + std::to_string(i), std::string(700, 'x')});
  return framing(records);
}

class WriteFailure : public Faults {
 protected:
  void SetUp() override {
    Faults::SetUp();
    f_ = dir_ + "/f";
    ftmp_ = dir_ + "/ftmp";
    ASSERT_EQ(
        run({program("qef64make"), f_, ftmp_}, "+3,5:one->Hello\n\n").status,
        0);
    old_ = read_file(f_);
  }

  void expect_create_failure(const run_result& r, int error) {
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(r.err, "qef64make: fatal: unable to create " + ftmp_ + ": " +
                         std::strerror(error) + "\n");
    EXPECT_TRUE(read_file(f_) == old_) << "f changed";
  }

  std::string f_, ftmp_, old_;
};

TEST_F(WriteFailure, BuilderPastTheFileSizeLimit) {
  const std::string text = sample_text();
  for (long limit : {0L, 1L, 4096L, 8192L, 20000L}) {
    run_options o;
    o.fsize_limit = limit;
    expect_create_failure(run({program("qef64make"), f_, ftmp_}, text, o),
                          EFBIG);
  }
}

TEST_F(WriteFailure, BuilderOnAFullDisk) {
  const std::string text = sample_text();
  ASSERT_EQ(
      run({program("qef64make"), dir_ + "/g", dir_ + "/gtmp"}, text).status, 0);
  const long size = static_cast<long>(read_file(dir_ + "/g").size());
  // The first write, inside the records, inside the tables, just before the
  // header (written last) and its final byte.
  for (long room : {0L, 1L, 8191L, 8192L, size - 4097, size - 4096, size - 1}) {
    run_options o;
    o.env = {"LD_PRELOAD=" QEF64_FAULTS_LIB,
             "QEF64_FAULTS_ENOSPC=" + std::to_string(room)};
    SCOPED_TRACE("room for " + std::to_string(room) + " bytes");
    expect_create_failure(run({program("qef64make"), f_, ftmp_}, text, o),
                          ENOSPC);
  }
  run_options o;
  o.env = {"LD_PRELOAD=" QEF64_FAULTS_LIB,
           "QEF64_FAULTS_ENOSPC=" + std::to_string(size)};
  EXPECT_EQ(run({program("qef64make"), f_, ftmp_}, text, o).status, 0)
      << "exactly enough room";
}

TEST_F(WriteFailure, StandardOutputFullOrClosed) {
  for (output_kind out : {output_kind::full, output_kind::closed}) {
    const std::string error =
        std::strerror(out == output_kind::full ? ENOSPC : EBADF);
    SCOPED_TRACE(error);
    run_options o;
    o.in = input_kind::path;
    o.out = out;
    run_result r = run({program("qef64get"), "one"}, f_, o);
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(r.err,
              "qef64get: fatal: unable to write output: " + error + "\n");
    for (const char* s : {"qef64dump", "qef64stats", "qef64test"}) {
      if (!file_exists(program(s))) continue;
      r = run({program(s)}, f_, o);
      EXPECT_EQ(r.status, 111) << s;
      EXPECT_EQ(r.err, std::string(s) +
                           ": fatal: unable to write output: " + error + "\n");
    }
    // The builder writes nothing to standard output, so it does not care.
    run_options m;
    m.out = out;
    r = run({program("qef64make"), dir_ + "/g", dir_ + "/gtmp"},
            "+1,1:a->b\n\n", m);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(f_) == old_) << "f changed";
  }
}

}  // namespace
