// qef64stats as a process: probe-distance histograms of built and of
// hand-made databases, checked against a model of linear probing, and the
// failures of the walk and of the lookups.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "db/format.h"
#include "tests/process.h"

using namespace qef64;  // the engines and runtime under test

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

std::uint64_t hash_of(const std::string& key) {
  return db_hash(reinterpret_cast<const unsigned char*>(key.data()),
                 static_cast<std::int64_t>(key.size()));
}

// A database laid out by hand: the records in order, then only table t,
// whose slots name records by index (-1: empty).
std::string craft(const std::vector<record>& records, int t,
                  const std::vector<int>& slots) {
  std::string body;
  std::vector<std::uint64_t> at;
  for (const record& r : records) {
    at.push_back(4096 + body.size());
    body += u64(r.key.size()) + u64(r.data.size()) + r.key + r.data;
  }
  std::uint64_t end = 4096 + body.size();
  std::string header;
  for (int i = 0; i < 256; i++) {
    std::uint64_t n = i == t ? slots.size() : 0;
    header += u64(i <= t ? end : end + 16 * slots.size()) + u64(n);
  }
  std::string table;
  for (int s : slots) {
    table +=
        s < 0 ? u64(0) + u64(0) : u64(hash_of(records[s].key)) + u64(at[s]);
  }
  return header + body + table;
}

std::string lines(const std::vector<std::int64_t>& counts) {
  const char* labels[] = {"records ", "d0      ", "d1      ", "d2      ",
                          "d3      ", "d4      ", "d5      ", "d6      ",
                          "d7      ", "d8      ", "d9      ", ">9      "};
  std::string out;
  for (int i = 0; i < 12; i++) {
    char line[64];
    std::snprintf(line, sizeof line, "%s%10lld\n", labels[i],
                  static_cast<long long>(counts[i]));
    out += line;
  }
  return out;
}

// What qef64make's tables give: each table has twice its records' slots,
// filled in the order added by linear probing from (h >> 8) mod slots.
std::string model(const std::vector<record>& records) {
  std::vector<std::int64_t> counts(12, 0);
  std::vector<std::vector<const record*>> tables(256);
  for (const record& r : records)
    tables[hash_of(r.key) % 256].push_back(&r);
  for (const auto& table : tables) {
    std::size_t n = 2 * table.size();
    std::vector<bool> taken(n, false);
    for (const record* r : table) {
      std::size_t s = (hash_of(r->key) >> 8) % n, distance = 0;
      for (; taken[s]; s = (s + 1) % n)
        distance++;
      taken[s] = true;
      if (r->key.size() > 1024) continue;
      counts[0]++;
      counts[1 + (distance > 10 ? 10 : distance)]++;
    }
  }
  return lines(counts);
}

run_result stats(const std::string& db, input_kind in = input_kind::file,
                 output_kind out = output_kind::pipe) {
  run_options options;
  options.in = in;
  options.out = out;
  return run({program("qef64stats")}, db, options);
}

const std::string prefix = "qef64stats: fatal: ";

TEST(Stats, PrintsTheHistogram) {
  EXPECT_EQ(stats(make_db({})).out,
            "records          0\nd0               0\nd1               0\n"
            "d2               0\nd3               0\nd4               0\n"
            "d5               0\nd6               0\nd7               0\n"
            "d8               0\nd9               0\n>9               0\n");
  std::vector<record> many;
  for (int i = 0; i < 3000; i++) {
    many.push_back({"k" + std::to_string(i % 2500), std::string(i % 7, 'd')});
  }
  std::vector<record> forty_two;
  for (int i = 0; i < 42; i++)
    forty_two.push_back({std::to_string(i), "v"});
  const struct {
    const char* name;
    std::vector<record> records;
  } cases[] = {
      {"one record", {{"one", "Hello"}}},
      {"empty key", {{"", ""}, {"", "x"}}},
      {"42 records", forty_two},
      // 24 slots from start slot 21: distances 0 to 11, wrapping after 2.
      {"a key twelve times", std::vector<record>(12, {"a", "x"})},
      {"key lengths 1024 and 1025",
       {{std::string(1024, 'k'), "measured"},
        {std::string(1025, 'k'), std::string(9000, 's')},
        {"after", "them"}}},
      {"collisions and repeats", many},
  };
  for (const auto& c : cases) {
    run_result r = stats(make_db(c.records));
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.out, model(c.records)) << c.name;
  }
  EXPECT_EQ(model(forty_two).substr(0, 19), "records         42\n");
  EXPECT_EQ(model(std::vector<record>(12, {"a", "x"})),
            lines({12, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2}));
}

TEST(Stats, MeasuresHandMadeTables) {
  // "a" selects table 196 and starts at slot 693 mod n.
  ASSERT_EQ(hash_of("a") % 256, 196u);
  std::vector<record> two_a = {{"a", "x"}, {"a", "yz"}};
  std::vector<record> twelve;
  for (int i = 0; i < 12; i++)
    twelve.push_back({i == 5 ? std::string(1025, 'b') : "a", "v"});
  const struct {
    const char* name;
    std::string db;
    std::string out;
  } cases[] = {
      // The start slot is the last one; the second record wraps to slot 0.
      {"wrap from the last slot", craft(two_a, 196, {1, 0}),
       lines({2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      // A full table of 12 slots from slot 693 mod 12 = 9. Slot 0 holds a
      // record of another, unmeasured key: passed over, but examined.
      {"eleven or more slots",
       craft(twelve, 196, {5, 3, 4, 6, 7, 8, 9, 10, 11, 0, 1, 2}),
       lines({11, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 2})},
  };
  for (const auto& c : cases) {
    run_result r = stats(c.db);
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
  }
}

TEST(Stats, StopsOnDamagedDatabases) {
  std::vector<record> records = {{"a", "x"}, {"a", "yz"}, {"b", "w"}};
  const std::string db = make_db(records);
  const std::string long_key = make_db({{std::string(1025, 'k'), "data"}});
  const std::size_t records_end = 4096 + 18 + 19 + 18;
  ASSERT_EQ(db.size(), records_end + 3 * 32);
  const std::string truncated =
      prefix + "unable to read input: truncated file\n";
  const std::string read_error = prefix + "unable to read input: ";
  const struct {
    const char* name;
    std::string input;
    input_kind in;
    std::string err;
  } cases[] = {
      {"cut inside the header", db.substr(0, 2000), input_kind::file,
       truncated},
      {"cut inside a key", db.substr(0, 4096 + 16), input_kind::file,
       truncated},
      {"cut inside skipped data", long_key.substr(0, 4096 + 16 + 1025 + 2),
       input_kind::file, truncated},
      {"a length of 2^60",
       std::string(db).replace(4096 + 8, 8, u64(std::uint64_t{1} << 60)),
       input_kind::file, prefix + "unable to read input: malformatted file\n"},
      // The second "a" is not in the table that its key leads to.
      {"a damaged table", craft({records[0], records[1]}, 196, {-1, 0}),
       input_kind::file, truncated},
      {"cut inside the hash tables", db.substr(0, records_end + 20),
       input_kind::file, read_error + std::strerror(EPROTO) + "\n"},
      {"a pipe", db, input_kind::pipe,
       read_error + std::strerror(ESPIPE) + "\n"},
  };
  for (const auto& c : cases) {
    run_result r = stats(c.input, c.in);
    EXPECT_EQ(r.status, 111) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
  }
}

TEST(Stats, CompletesOnAPipeWithoutLookups) {
  const struct {
    const char* name;
    std::vector<record> records;
  } cases[] = {
      {"no records", {}},
      {"long keys only",
       {{std::string(1025, 'x'), "a"}, {std::string(5000, 'y'), ""}}},
  };
  for (const auto& c : cases) {
    run_result r = stats(make_db(c.records), input_kind::pipe);
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(r.out, lines(std::vector<std::int64_t>(12, 0))) << c.name;
  }
}

TEST(Stats, ReportsOutputFailures) {
  const std::string db = make_db({{"one", "Hello"}});
  const struct {
    output_kind out;
    int error;
  } cases[] = {{output_kind::closed, EBADF}, {output_kind::full, ENOSPC}};
  for (const auto& c : cases) {
    run_result r = stats(db, input_kind::file, c.out);
    EXPECT_EQ(r.status, 111);
    EXPECT_EQ(r.err, prefix + "unable to write output: " +
                         std::strerror(c.error) + "\n");
  }
}

TEST(Stats, IgnoresArguments) {
  std::vector<record> records = {{"one", "Hello"}, {"two", "x"}};
  run_options options;
  options.in = input_kind::file;
  run_result r =
      run({program("qef64stats"), "-v", "db"}, make_db(records), options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, model(records));
}

}  // namespace
