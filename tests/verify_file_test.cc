// The deep check of a file's structure: verify_file (every record and
// slot), verify_longest_probe and db_hash_lanes, on files
// the writer engine makes and on the same files damaged at offsets worked
// out from the layout: "abc" -> "xyz" alone is a record at 4096 whose
// records end at 4118, table 133 there with slot 0 naming it; "abc" three
// times are records at 4096, 4116 and 4136, table 133 at 4156 with its
// records in slots 4, 5 and 0 (offsets 4220, 4236, 4156).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "db/format.h"
#include "db/hash_lanes.h"
#include "db/verify.h"
#include "db/window.h"
#include "db/writer.h"
#include "tests/engine_file.h"
#include "tests/process.h"

using namespace qef64;  // the engines under test

namespace {

using record = std::pair<std::string, std::string>;

struct outcome {
  int rc;  // 0, or the errno of -1
  std::int64_t offset;
  std::string what;
  bool operator==(const outcome&) const = default;
};

std::ostream& operator<<(std::ostream& o, const outcome& r) {
  return o << "{" << r.rc << ", " << r.offset << ", \"" << r.what << "\"}";
}

// A tap that keeps what it is given.
void keep_bytes(void* ctx, const unsigned char* p, std::int64_t len) {
  static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(p),
                                         static_cast<std::size_t>(len));
}

// verify_file on the bytes, read from the mapping and again by descriptor,
// with the default budget and with one that takes several passes over the
// records, without a tap and with one; all eight must agree, and the tap
// must have been given the whole file in order unless a read failed.
outcome verify(const std::string& file) {
  std::string dir = make_temp_dir();
  write_file(dir + "/f", file);
  int fd = open((dir + "/f").c_str(), O_RDONLY);
  auto size = static_cast<std::int64_t>(file.size());
  void* map = size > 0
                  ? mmap(nullptr, file.size(), PROT_READ, MAP_SHARED, fd, 0)
                  : nullptr;
  outcome first{};
  bool have = false;
  for (std::int64_t by : {std::int64_t{-1}, std::int64_t{fd}}) {
    for (std::int64_t memory : {verify_default_memory, size / 16}) {
      for (bool tapped : {false, true}) {
        std::string given;
        db_tap tap = {keep_bytes, &given, 0};
        db_problem p = {-1, ""};
        int rc = verify_file(static_cast<const unsigned char*>(map), size, by,
                             memory, &p, tapped ? &tap : nullptr);
        outcome o = rc == 0 ? outcome{0, -1, ""}
                            : outcome{errno, errno == EPROTO ? p.offset : -1,
                                      errno == EPROTO ? p.what : ""};
        if (!have) first = o;
        EXPECT_EQ(o, first) << "fd " << by << ", memory " << memory
                            << (tapped ? ", tapped" : "");
        have = true;
        if (tapped && (o.rc == 0 || o.rc == EPROTO) &&
            o.what != "the file ends before its size") {
          EXPECT_TRUE(given == file)
              << "fd " << by << ", memory " << memory << ": the tap had "
              << given.size() << " of " << file.size() << " bytes";
        }
      }
    }
  }
  if (map != nullptr) munmap(map, file.size());
  close(fd);
  remove_tree(dir);
  return first;
}

outcome damaged(std::int64_t offset, const char* what) {
  return {EPROTO, offset, what};
}
const outcome sound = {0, -1, ""};

const std::vector<record> one = {{"abc", "xyz"}};
const std::vector<record> three = {{"abc", "1"}, {"abc", "2"}, {"abc", "3"}};

TEST(VerifyFile, SoundFilesPass) {
  EXPECT_EQ(verify(build({})), sound);
  EXPECT_EQ(verify(build(one)), sound);
  EXPECT_EQ(verify(build(three)), sound);  // a probe run that wraps

  // Repeated keys, the empty key, keys of every length up to past the
  // batch of short keys and past the window, equal full hashes (found by
  // search), and enough records for thousands of window moves.
  std::vector<record> many;
  std::mt19937 gen(3);
  for (int i = 0; i < 20000; i++) {
    std::string key(gen() % 80, 'k');
    for (char& c : key)
      c = static_cast<char>('a' + gen() % 3);
    many.push_back({key, std::string(gen() % 200, 'd')});
  }
  many.push_back(
      {std::string(static_cast<std::size_t>(window_capacity) + 5, 'K'),
       "long"});
  many.push_back(  // data the check skips, which a tap is given all the same
      {"big",
       std::string(static_cast<std::size_t>(window_capacity) * 2 + 7, 'D')});
  std::map<std::uint64_t, std::string> seen;
  for (int a = 0; a < 256 && many.size() < 20100; a++) {
    for (int b = 0; b < 256; b++) {
      std::string k{static_cast<char>(a), static_cast<char>(b)};
      auto [it, fresh] = seen.emplace(db_hash(bytes_of(k), 2), k);
      if (fresh) continue;
      many.push_back({it->second, "first"});
      many.push_back({k, "second"});
    }
  }
  ASSERT_GT(many.size(), 20001u);
  EXPECT_EQ(verify(build(many)), sound);
}

// A table laid out otherwise than the writer lays it out, but where every
// lookup still finds every record: the check examines it and lets it pass.
TEST(VerifyFile, TableLaidOutOtherwiseButSoundPasses) {
  std::string f = build(three);
  std::string slot4 = f.substr(4220, 16);
  f.replace(4220, 16, f.substr(4236, 16));
  f.replace(4236, 16, slot4);
  EXPECT_EQ(verify(f), sound);
}

TEST(VerifyFile, DamagedRecordsAndSlotsAreFoundWhereTheyAre) {
  struct change {
    const char* name;
    const std::vector<record>* records;
    void (*apply)(std::string&);
    outcome want;
  };
  const change changes[] = {
      {"key length past the records", &one,
       [](std::string& f) { put64(f, 4096, 100); },
       damaged(4096, "a record's key runs past the end of the records")},
      {"negative key length", &one,
       [](std::string& f) { put64(f, 4096, ~std::uint64_t{0}); },
       damaged(4096, "a negative key length")},
      {"data one byte past the records", &one,
       [](std::string& f) { put64(f, 4104, 4); },
       damaged(4104, "a record's data runs past the end of the records")},
      {"data length 2^63 - 1", &one,
       [](std::string& f) { put64(f, 4104, ~std::uint64_t{0} >> 1); },
       damaged(4104, "a record's data runs past the end of the records")},
      {"the last record's data past the records", &three,
       [](std::string& f) { put64(f, 4136 + 8, 1 + 8); },
       damaged(4136 + 8, "a record's data runs past the end of the records")},
      {"a record header cut by the end of the records", &three,
       [](std::string& f) { put64(f, 4116 + 8, 15); },
       damaged(4150, "a record's lengths run past the end of the records")},
      {"slot position zeroed", &one,
       [](std::string& f) { put64(f, 4118 + 8, 0); },
       damaged(4118, "an empty slot holds a hash")},
      {"slot emptied", &one, [](std::string& f) { f.replace(4118, 16, 16, 0); },
       damaged(4096, "no slot of its table names this record")},
      {"slot names the middle of a record", &three,
       [](std::string& f) { put64(f, 4220 + 8, 4097); },
       damaged(4220, "a slot names no record of its table")},
      {"slot names a position past the file", &three,
       [](std::string& f) { put64(f, 4220 + 8, std::uint64_t{1} << 40); },
       damaged(4220, "a slot names no record of its table")},
      // Which lookups take as empty: slot 0 after it is no longer reached.
      {"slot with a negative position", &three,
       [](std::string& f) { put64(f, 4220 + 8, ~std::uint64_t{0}); },
       damaged(4156, "an empty slot lies between this slot and its start")},
      {"slot hash of another table", &three,
       [](std::string& f) { put64(f, 4220, get64(f, 4220) + 1); },
       damaged(4220, "a slot's hash belongs to another table")},
      {"slot hash of the right table, wrong value", &three,
       [](std::string& f) { put64(f, 4220, get64(f, 4220) + 256); },
       damaged(4220, "a slot's hash differs from its record's key hash")},
      {"empty slot with a hash", &three, [](std::string& f) { f[4172] = 1; },
       damaged(4172, "an empty slot holds a hash")},
      {"slot 4 emptied: 5 and 0 no longer reached", &three,
       [](std::string& f) { f.replace(4220, 16, 16, '\0'); },
       damaged(4156, "an empty slot lies between this slot and its start")},
      {"two slots name one record", &three,
       [](std::string& f) { f.replace(4172, 16, f.substr(4220, 16)); },
       damaged(4220, "two slots name the same record")},
      // "bbc" hashes to table 6, which has no slots: the record is found in
      // table 6, before table 133 is looked at.
      {"a key byte changed", &three, [](std::string& f) { f[4116 + 16] = 'b'; },
       damaged(4116, "no slot of its table names this record")},
  };
  for (const change& c : changes) {
    std::string f = build(*c.records);
    c.apply(f);
    EXPECT_EQ(verify(f), c.want) << c.name;
  }
}

// Every lookup finds the record, but its table has 4 slots for 1 record:
// the count, half the slots, would say 2.
TEST(VerifyFile, SlotCountNotTwiceTheRecordsIsDamage) {
  std::string f = build({{"abc", std::string(20, 'd')}});  // 4096 to 4135
  ASSERT_EQ(get64(f, 133 * 16 + 8), 2u);
  std::string slot = f.substr(4135, 16);
  f.replace(4135, 32, 64, '\0');
  std::int64_t s =
      db_hash_start_slot(db_hash(bytes_of(std::string("abc")), 3), 4);
  f.replace(static_cast<std::size_t>(4135 + 16 * s), 16, slot);
  put64(f, 133 * 16 + 8, 4);
  for (int t = 134; t < 256; t++)
    put64(f, 16 * static_cast<std::size_t>(t), get64(f, 16 * t) + 32);
  EXPECT_EQ(
      verify(f),
      damaged(133 * 16 + 8, "a slot count is not twice its table's records"));
}

// A header that does not describe the file is verify_file's first problem,
// as check_header states it.
TEST(VerifyFile, HeaderProblemsComeFirst) {
  std::string f = build(three);
  f.resize(f.size() - 16);
  f[4116 + 16] = 'b';
  EXPECT_EQ(verify(f), damaged(133 * 16 + 8, "a table lies outside the file"));
  EXPECT_EQ(verify(std::string(100, 'x')),
            damaged(0, "the file is shorter than its header"));
}

// A descriptor that reads the file while it is cut short behind the
// mapping's back: the read that meets the end says so.
TEST(VerifyFile, FileCutWhileReadIsDamage) {
  std::string f = build(three);
  std::string dir = make_temp_dir();
  write_file(dir + "/cut", f.substr(0, 4200));
  int fd = open((dir + "/cut").c_str(), O_RDONLY);
  db_problem p;
  EXPECT_EQ(verify_file(bytes_of(f), static_cast<std::int64_t>(f.size()), fd,
                        verify_default_memory, &p),
            -1);
  EXPECT_EQ(errno, EPROTO);
  EXPECT_EQ(p.offset, 4200);
  EXPECT_STREQ(p.what, "the file ends before its size");
  close(fd);
  remove_tree(dir);
}

TEST(VerifyLongestProbe, CountsTheSlotsOfTheLongestLookup) {
  std::string f = build(three);
  const auto* map = bytes_of(f);
  auto size = static_cast<std::int64_t>(f.size());
  EXPECT_EQ(verify_longest_probe(map, size, -1), 3);
  EXPECT_EQ(verify_longest_probe(bytes_of(build(one)), 4150, -1), 1);
  EXPECT_EQ(verify_longest_probe(bytes_of(build({})), 4096, -1), 0);
  // Slot 4 emptied: slots 5 and 0 are reached by no lookup of their hash.
  f.replace(4220, 16, 16, '\0');
  EXPECT_EQ(verify_longest_probe(bytes_of(f), size, -1), 0);
}

TEST(DbHashLanes, EqualsDbHashForEveryLength) {
  std::mt19937 gen(9);
  std::string bytes(64 * 9 + 8, '\0');
  for (char& c : bytes)
    c = static_cast<char>(gen());
  for (int round = 0; round < 200; round++) {
    const unsigned char* keys[hash_lanes];
    std::int64_t lens[hash_lanes];
    for (int j = 0; j < hash_lanes; j++) {
      keys[j] = bytes_of(bytes) + 64 * j + gen() % 64;
      lens[j] = round < hash_lanes_key + 1 ? (round + j) % (hash_lanes_key + 1)
                                           : gen() % (hash_lanes_key + 1);
    }
    std::uint64_t out[hash_lanes];
    db_hash_lanes(keys, lens, out);
    for (int j = 0; j < hash_lanes; j++)
      ASSERT_EQ(out[j], db_hash(keys[j], lens[j])) << lens[j];
  }
}

}  // namespace
