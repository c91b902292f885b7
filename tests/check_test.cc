// check_header, what qef64_open refuses: headers that do not describe
// their file, on the database of "abc" -> "xyz" alone (a record at 4096,
// table 133 at 4118 with 2 slots, the file 4150 bytes long), changed at
// offsets worked out from the layout.

#include "db/check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "db/format.h"
#include "db/writer.h"
#include "tests/engine_file.h"
#include "tests/process.h"

using namespace qef64;  // the engine under test

namespace {

const std::vector<std::pair<std::string, std::string>> one = {{"abc", "xyz"}};

// What check_header refuses, each at the descriptor field concerned.
TEST(CheckHeader, RefusesHeadersThatDoNotDescribeTheFile) {
  struct change {
    const char* name;
    void (*apply)(std::string&);
    std::int64_t offset;
    const char* what;
  };
  const change changes[] = {
      {"cut by one slot", [](std::string& f) { f.resize(f.size() - 16); },
       133 * 16 + 8, "a table lies outside the file"},
      {"one byte more", [](std::string& f) { f.push_back('\0'); }, 4088,
       "the tables end before the end of the file"},
      {"every table zeroed",
       [](std::string& f) { f.replace(0, 4096, 4096, '\0'); }, 0,
       "the first table begins inside the header"},
      {"a table shifted by a slot",
       [](std::string& f) { put64(f, 134 * 16, 4150 + 16); }, 134 * 16,
       "a table does not begin where the one before it ends"},
      {"odd slot count", [](std::string& f) { put64(f, 133 * 16 + 8, 1); },
       133 * 16 + 8, "a slot count is negative or odd"},
      {"2^61 slots", [](std::string& f) { put64(f, 133 * 16 + 8, 1ull << 61); },
       133 * 16 + 8, "a table lies outside the file"},
      {"negative slot count",
       [](std::string& f) { put64(f, 133 * 16 + 8, ~std::uint64_t{1}); },
       133 * 16 + 8, "a slot count is negative or odd"},
      {"records too short for the slots",
       [](std::string& f) {
         // Table 0 takes 16 more slots: 9 records in 22 bytes of records.
         f.insert(4118, 256, '\0');
         for (int t = 0; t < 256; t++)
           put64(f, 16 * t, get64(f, 16 * t) + (t > 0 ? 256 : 0));
         put64(f, 8, 16);
       },
       0, "more slots than the records have room for"},
  };
  for (const change& c : changes) {
    std::string f = build(one);
    c.apply(f);
    db_layout layout;
    db_problem p = {-1, ""};
    errno = 0;
    EXPECT_EQ(check_header(bytes_of(f), static_cast<std::int64_t>(f.size()),
                           &layout, &p),
              -1)
        << c.name;
    EXPECT_EQ(errno, EPROTO) << c.name;
    EXPECT_EQ(p.offset, c.offset) << c.name;
    EXPECT_STREQ(p.what, c.what) << c.name;
  }
}

TEST(CheckHeader, DescribesSoundFiles) {
  std::string f = build({{"abc", "1"}, {"abc", "2"}, {"abc", "3"}});
  db_layout layout;
  ASSERT_EQ(check_header(bytes_of(f), static_cast<std::int64_t>(f.size()),
                         &layout, nullptr),
            0);
  EXPECT_EQ(layout.records_end, 4156);
  EXPECT_EQ(layout.slots, 6);
  EXPECT_EQ(layout.records, 3);
  f = build({});
  ASSERT_EQ(check_header(bytes_of(f), 4096, &layout, nullptr), 0);
  EXPECT_EQ(layout.records_end, 4096);
  EXPECT_EQ(layout.records, 0);
}

TEST(CheckHeader, RefusesBytesWithoutRecordsBetweenHeaderAndTables) {
  std::string f = build({});
  f += std::string(32, 'x');
  for (std::size_t t = 0; t < 256; t++)
    put64(f, 16 * t, 4096 + 32);
  db_layout layout;
  db_problem p;
  EXPECT_EQ(check_header(bytes_of(f), 4128, &layout, &p), -1);
  EXPECT_EQ(p.offset, 0);
  EXPECT_STREQ(p.what, "records but no slots for them");
}

}  // namespace
