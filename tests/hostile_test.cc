// Damaged databases given to every reading program, and damaged record text
// given to the builder. Whatever the damage, each run must end by itself,
// within a bound, with status 0, 100 or 111, no signal, and at most one line
// on standard error carrying the program's prefix; under the sanitizers that
// also means no report. The damage is derived deterministically from valid
// databases, so a failure names its input and can be replayed.
//
// The normal build tries an even sample of the damaged files; the sanitizer
// build tries more, and QEF64_HOSTILE_ALL=1 in the environment tries them all.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "db/format.h"
#include "db/writer.h"
#include "tests/process.h"

using namespace qef64;  // the engines and runtime under test

namespace {

#ifdef QEF64_SANITIZE_BUILD
constexpr std::size_t sample_size = 120;
constexpr double run_timeout = 60;
#else
constexpr std::size_t sample_size = 40;
constexpr double run_timeout = 20;
#endif

struct damaged {
  std::string name;   // what was done, to find the input again
  std::string bytes;  // the file
};

using record = std::pair<std::string, std::string>;

const unsigned char* bytes_of(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
std::int64_t len(const std::string& s) {
  return static_cast<std::int64_t>(s.size());
}

std::uint64_t get64(const std::string& file, std::size_t at) {
  return load_u64le(bytes_of(file) + at);
}
void put64(std::string& file, std::size_t at, std::uint64_t v) {
  store_u64le(reinterpret_cast<unsigned char*>(file.data()) + at, v);
}

// A database with these records, written by the writer engine.
std::string build_database(const std::vector<record>& records) {
  std::string dir = make_temp_dir();
  std::string path = dir + "/db";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_NE(fd, -1);
  static db_writer w;
  EXPECT_EQ(writer_start(&w, fd), 0);
  for (const auto& [k, d] : records) {
    EXPECT_EQ(writer_add(&w, bytes_of(k), len(k), bytes_of(d), len(d)), 0);
  }
  EXPECT_EQ(writer_finish(&w), 0);
  close(fd);
  writer_release(&w);
  std::string file = read_file(path);
  remove_tree(dir);
  return file;
}

// The valid databases that all damage starts from.
struct base {
  std::string name;
  std::vector<record> records;
  std::string file;
};

std::vector<base> bases() {
  std::vector<base> all;
  all.push_back({"empty", {}, ""});
  all.push_back({"one", {{"abc", "xyz"}}, ""});
  all.push_back({"same-key", {{"abc", "1"}, {"abc", "2"}, {"abc", "3"}}, ""});
  std::vector<record> mixed = {
      {"", "empty key"},
      {"one", "Hello"},
      {"one", "again"},
      {std::string(33, 'k'), "33"},
      {std::string(1025, 'x'), "untested"},
      {std::string("nul\0key", 7), std::string(700, 'd')}};
  for (int i = 0; i < 12; i++)
    mixed.push_back({"key" + std::to_string(i), "v"});
  all.push_back({"mixed", mixed, ""});
  for (base& b : all)
    b.file = build_database(b.records);
  return all;
}

// Interesting values for an 8-byte field of a file of `size` bytes.
std::vector<std::int64_t> hostile_values(std::int64_t size) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  return {0,
          1,
          -1,
          8,
          16,
          4095,
          4096,
          size - 16,
          size - 1,
          size,
          size + 1,
          std::int64_t{1} << 31,
          std::int64_t{1} << 32,
          db_max_position,
          db_max_position + 1,
          std::int64_t{1} << 62,
          max,
          min,
          -16,
          -4096};
}

// The positions of the fields of a valid database: descriptors, record
// lengths, slots. Each is a place where a hostile number goes.
struct layout {
  std::vector<std::size_t> descriptor_fields;
  std::vector<std::size_t> record_fields;
  std::vector<std::size_t> slot_fields;
  std::vector<std::size_t> boundaries;  // every field's start, and the end
};

layout layout_of(const std::string& file) {
  layout l;
  const std::size_t records_end = get64(file, 0);
  for (std::size_t t = 0; t < 256; t++) {
    std::size_t slots = get64(file, 16 * t + 8);
    // The used tables, and the first and last descriptor whatever they hold.
    if (slots > 0 || t == 0 || t == 255) {
      l.descriptor_fields.push_back(16 * t);
      l.descriptor_fields.push_back(16 * t + 8);
    }
    for (std::size_t s = 0; s < slots; s++) {
      std::size_t at = get64(file, 16 * t) + 16 * s;
      if (get64(file, at + 8) == 0) continue;
      l.slot_fields.push_back(at);
      l.slot_fields.push_back(at + 8);
    }
  }
  for (std::size_t at = 4096; at < records_end;) {
    l.record_fields.push_back(at);
    l.record_fields.push_back(at + 8);
    l.boundaries.push_back(at);
    l.boundaries.push_back(at + 8);
    l.boundaries.push_back(at + 16);
    at += 16 + get64(file, at) + get64(file, at + 8);
  }
  for (std::size_t at = records_end; at < file.size(); at += 16) {
    l.boundaries.push_back(at);
    l.boundaries.push_back(at + 8);
  }
  l.boundaries.push_back(file.size());
  return l;
}

std::vector<damaged> truncations(const base& b) {
  std::vector<std::size_t> cuts = {0,  1,    7,    8,    9,   15,
                                   16, 2048, 4088, 4095, 4096};
  for (std::size_t at : layout_of(b.file).boundaries) {
    for (std::size_t c : {at - 1, at, at + 1})
      cuts.push_back(c);
  }
  std::vector<damaged> out;
  for (std::size_t c : cuts) {
    if (c >= b.file.size()) continue;
    out.push_back(
        {b.name + " cut at " + std::to_string(c), b.file.substr(0, c)});
  }
  return out;
}

std::vector<damaged> field_values(const base& b) {
  layout l = layout_of(b.file);
  std::vector<std::pair<std::string, std::size_t>> fields;
  for (std::size_t at : l.descriptor_fields)
    fields.push_back({"descriptor", at});
  for (std::size_t at : l.record_fields)
    fields.push_back({"record", at});
  for (std::size_t at : l.slot_fields)
    fields.push_back({"slot", at});
  std::vector<damaged> out;
  for (const auto& [kind, at] : fields) {
    for (std::int64_t v : hostile_values(len(b.file))) {
      std::string f = b.file;
      put64(f, at, static_cast<std::uint64_t>(v));
      out.push_back({b.name + " " + kind + " field at " + std::to_string(at) +
                         " = " + std::to_string(v),
                     f});
    }
  }
  return out;
}

std::vector<damaged> bit_flips(const base& b, int count) {
  std::mt19937_64 rng(0x9e3779b97f4a7c15ULL ^ b.file.size());
  std::vector<damaged> out;
  for (int i = 0; i < count; i++) {
    std::string f = b.file;
    int flips = 1 + static_cast<int>(rng() % 4);
    std::string name = b.name + " bits flipped at";
    for (int k = 0; k < flips; k++) {
      std::size_t bit = rng() % (8 * f.size());
      f[bit / 8] = static_cast<char>(f[bit / 8] ^ (1 << (bit % 8)));
      name += " " + std::to_string(bit);
    }
    out.push_back({name, f});
  }
  return out;
}

// Tables that overlap, point at each other, at the header, at the records
// or outside the file; slots that point at slots or at the header.
std::vector<damaged> cross_links(const base& b) {
  std::vector<damaged> out;
  const std::string& file = b.file;
  const std::uint64_t records_end = get64(file, 0);
  std::vector<std::size_t> used;
  for (std::size_t t = 0; t < 256; t++) {
    if (get64(file, 16 * t + 8) > 0) used.push_back(t);
  }
  auto all_tables = [&](const std::string& what, std::uint64_t pos,
                        std::uint64_t slots) {
    std::string f = file;
    for (std::size_t t = 0; t < 256; t++) {
      put64(f, 16 * t, pos);
      put64(f, 16 * t + 8, slots);
    }
    out.push_back({b.name + " every table " + what, f});
  };
  all_tables("at the header, 256 slots", 0, 256);
  all_tables("at the records", 4096, (file.size() - 4096) / 16);
  all_tables("at the first table", records_end,
             (file.size() - records_end) / 16);
  all_tables("past the end", file.size(), 2);
  all_tables("with 2^59 slots", records_end, std::uint64_t{1} << 59);
  all_tables("ending at 2^63 - 16", (std::uint64_t{1} << 63) - 32, 1);
  for (std::size_t t : used) {
    for (std::size_t u : used) {
      if (t == u) continue;
      std::string f = file;
      put64(f, 16 * t, get64(file, 16 * u));
      put64(f, 16 * t + 8, get64(file, 16 * u + 8));
      out.push_back({b.name + " table " + std::to_string(t) + " is table " +
                         std::to_string(u),
                     f});
      if (out.size() > 40) break;
    }
  }
  // Every slot full and every record the first: long probe runs that never
  // reach an empty slot.
  for (std::uint64_t target :
       {std::uint64_t{4096}, records_end, std::uint64_t{0} + 16}) {
    std::string f = file;
    for (std::size_t at = records_end; at + 16 <= f.size(); at += 16) {
      put64(f, at + 8, target);
    }
    out.push_back({b.name + " every slot names " + std::to_string(target), f});
  }
  // The records claim to run past the tables.
  {
    std::string f = file;
    put64(f, 0, f.size() + 100);
    out.push_back({b.name + " records end past the file", f});
  }
  return out;
}

std::vector<damaged> all_damaged() {
  std::vector<damaged> out;
  for (const base& b : bases()) {
    for (auto* make : {truncations, field_values, cross_links}) {
      for (damaged& d : make(b))
        out.push_back(std::move(d));
    }
    for (damaged& d : bit_flips(b, 150))
      out.push_back(std::move(d));
  }
  return out;
}

// Every k-th input, k chosen so that about n are taken, unless all are asked
// for.
std::vector<damaged> sample(std::vector<damaged> all, std::size_t n) {
  const char* every = std::getenv("QEF64_HOSTILE_ALL");
  if ((every != nullptr && every[0] == '1') || all.size() <= n) return all;
  std::vector<damaged> some;
  double step = static_cast<double>(all.size()) / static_cast<double>(n);
  for (std::size_t i = 0; i < n; i++) {
    some.push_back(std::move(
        all[static_cast<std::size_t>(static_cast<double>(i) * step)]));
  }
  return some;
}

// Keeps a failing input where a person can replay it.
std::string keep(const damaged& d) {
  static int kept = 0;
  std::string path = "/tmp/qef64-hostile-" + std::to_string(getpid()) + "-" +
                     std::to_string(kept++);
  write_file(path, d.bytes);
  return path;
}

// The verdict on one run: empty when it ended cleanly.
std::string judge(const std::string& prog, const run_result& r) {
  if (r.timed_out) return "did not end within the bound";
  if (r.signal != 0) return "killed by signal " + std::to_string(r.signal);
  if (r.status != 0 && r.status != 100 && r.status != 111)
    return "status " + std::to_string(r.status);
  if (r.err.find("Sanitizer") != std::string::npos ||
      r.err.find("runtime error") != std::string::npos)
    return "sanitizer report";
  if (r.status == 111) {
    std::string prefix = prog + ": fatal: ";
    if (r.err.compare(0, prefix.size(), prefix) != 0)
      return "message without the prefix";
    if (r.err.back() != '\n' || r.err.find('\n') != r.err.size() - 1)
      return "not exactly one line on standard error";
  } else if (!r.err.empty()) {
    return "standard error not empty with status " + std::to_string(r.status);
  }
  return "";
}

struct tally {
  std::size_t files = 0;
  std::size_t runs = 0;
};

// The reading programs that are built; the others are not tried.
std::vector<std::string> scanners() {
  std::vector<std::string> names;
  for (const char* n : {"qef64dump", "qef64stats", "qef64test"}) {
    if (file_exists(program(n))) names.push_back(n);
  }
  return names;
}

void sweep(const std::vector<damaged>& inputs, tally* t) {
  const std::vector<std::string> keys = {"abc", "one", "", "absent"};
  run_options on_file, on_pipe;
  on_file.in = input_kind::file;
  on_pipe.in = input_kind::pipe;
  on_file.timeout_seconds = on_pipe.timeout_seconds = run_timeout;
  const std::vector<std::string> scan = scanners();
  for (const damaged& d : inputs) {
    t->files++;
    std::vector<std::pair<std::vector<std::string>, const run_options*>> runs;
    for (const std::string& k : keys)
      runs.push_back({{program("qef64get"), k}, &on_file});
    runs.push_back({{program("qef64get"), "one", "1"}, &on_file});
    runs.push_back({{program("qef64get"), "abc"}, &on_pipe});
    for (const std::string& s : scan) {
      runs.push_back({{program(s)}, &on_file});
      runs.push_back({{program(s)}, &on_pipe});
    }
    for (const auto& [argv, options] : runs) {
      run_result r = run(argv, d.bytes, *options);
      t->runs++;
      std::string name = argv[0].substr(argv[0].rfind('/') + 1);
      std::string verdict = judge(name, r);
      if (!verdict.empty()) {
        ADD_FAILURE() << name << (argv.size() > 1 ? " '" + argv[1] + "'" : "")
                      << (options == &on_pipe ? " on a pipe" : " on a file")
                      << ": " << verdict << "\n  input: " << d.name
                      << "\n  kept as " << keep(d) << "\n  stderr: " << r.err;
      }
    }
  }
}

void report(const char* what, const tally& t) {
  std::printf(
      "hostile %s: %zu inputs, %zu runs, %s\n", what, t.files, t.runs,
      ::testing::Test::HasFailure() ? "SOME FAILED" : "all ended cleanly");
}

std::vector<damaged> of_kind(std::vector<damaged> (*make)(const base&)) {
  std::vector<damaged> out;
  for (const base& b : bases()) {
    for (damaged& d : make(b))
      out.push_back(std::move(d));
  }
  return out;
}

TEST(HostileDatabase, TruncatedAtEveryBoundary) {
  tally t;
  sweep(sample(of_kind(truncations), sample_size / 4), &t);
  report("truncated", t);
}

TEST(HostileDatabase, HugeNegativeAndStrayNumbers) {
  tally t;
  sweep(sample(of_kind(field_values), sample_size / 2), &t);
  report("field values", t);
}

TEST(HostileDatabase, TablesPointingAnywhere) {
  tally t;
  sweep(sample(of_kind(cross_links), sample_size / 4), &t);
  report("cross-linked", t);
}

TEST(HostileDatabase, FlippedBits) {
  std::vector<damaged> all;
  for (const base& b : bases()) {
    if (b.file.empty()) continue;
    for (damaged& d : bit_flips(b, 150))
      all.push_back(std::move(d));
  }
  tally t;
  sweep(sample(std::move(all), sample_size / 4), &t);
  report("bit flips", t);
}

// Record text for the builder, and damage done to it.
std::vector<damaged> damaged_framings() {
  using namespace std::string_literals;
  const std::string valid =
      "+3,5:one->Hello\n+0,4:->none\n+3,2:one->hi\n+2,3:a\n->b\0c\n\n"s;
  std::vector<damaged> out;
  for (std::size_t c = 0; c <= valid.size(); c++) {
    out.push_back({"cut at " + std::to_string(c), valid.substr(0, c)});
  }
  std::mt19937_64 rng(42);
  for (int i = 0; i < 60; i++) {
    std::string f = valid;
    std::size_t bit = rng() % (8 * f.size());
    f[bit / 8] = static_cast<char>(f[bit / 8] ^ (1 << (bit % 8)));
    out.push_back({"bit " + std::to_string(bit) + " flipped", f});
  }
  for (int i = 0; i < 30; i++) {
    std::string f = valid;
    std::size_t at = rng() % f.size();
    const char inserts[] = {'+', ',', ':', '-', '>', '\n', '\r', '0', '9', ' '};
    char c = inserts[rng() % sizeof inserts];
    f.insert(at, 1, c);
    out.push_back(
        {"byte " + std::to_string(c) + " inserted at " + std::to_string(at),
         f});
  }
  const std::string texts[] = {
      "+1152921504606846975,0:",        // the largest length, then nothing
      "+1152921504606846976,0:->\n\n",  // one past it
      "+0,1152921504606846975:->",      // the largest data that never comes
      "+99999999999999999999999,1:a->b\n\n",
      "+0000000000000000000000000003,1:abc->d\n\n",
      "+-1,1:a->b\n\n",
      "+3,5:one->Hello\r\n\n",
      "+3,5:one->Hello\n\r\n",
      "+3,5:one-Hello\n\n",
      "+3,5:one>Hello\n\n",
      "+3;5:one->Hello\n\n",
      "3,5:one->Hello\n\n",
      "+,:->\n+,:->\n\n",
      "+100,1:short->x\n\n",
      "+1,100:k->short\n\n",
      "\n",
      "",
      "\n\ntrailing bytes never read",
      "+",
      "++",
      std::string(5000, '+'),
  };
  for (const std::string& t : texts)
    out.push_back({"text " + t.substr(0, 40), t});
  return out;
}

TEST(HostileFraming, BuilderEndsCleanlyAndKeepsTheOldFile) {
  std::string dir = make_temp_dir();
  const std::string old_file = "an older database";
  tally t;
  run_options options;
  options.timeout_seconds = run_timeout;
  for (const damaged& d : damaged_framings()) {
    write_file(dir + "/f", old_file);
    run_result r = run({program("qef64make"), dir + "/f", dir + "/ftmp"},
                       d.bytes, options);
    t.files++;
    t.runs++;
    std::string verdict = judge("qef64make", r);
    if (verdict.empty() && r.status == 100) verdict = "usage status";
    std::string now = read_file(dir + "/f");
    if (verdict.empty() && r.status != 0 && now != old_file)
      verdict = "f changed by a failed build";
    if (verdict.empty() && r.status == 0 && now.size() < 4096)
      verdict = "f is no database after a successful build";
    if (!verdict.empty()) {
      ADD_FAILURE() << "qef64make: " << verdict << "\n  input: " << d.name
                    << "\n  kept as " << keep(d) << "\n  stderr: " << r.err;
    }
  }
  remove_tree(dir);
  report("framings", t);
}

}  // namespace
