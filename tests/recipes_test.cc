// The recipes of README.md and qef64make(1) for producing record text and
// for merging databases, run as written there, with the built programs on
// PATH and a UTF-8 locale: each must give the records byte for byte. A
// recipe whose tool is not installed is skipped with a note.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/process.h"

namespace {

const char* const awk_recipe =
    R"sh(LC_ALL=C awk -F '\t' '{ v = substr($0, length($1) + 2)
  printf "+%d,%d:%s->%s\n", length($1), length(v), $1, v } END { print "" }' pairs.tsv |
  qef64make pairs.db pairs.db.tmp)sh";
const char* const gawk_recipe =
    R"sh(gawk -b -F '\t' '{ v = substr($0, length($1) + 2)
  printf "+%d,%d:%s->%s\n", length($1), length(v), $1, v } END { print "" }' pairs.tsv |
  qef64make pairs.db pairs.db.tmp)sh";
const char* const python_recipe =
    R"sh(python3 -c 'import sys; w = sys.stdout.buffer.write; [w(b"+%d,%d:%s->%s\n" %
  (len(k), len(v), k, v)) for k, _, v in (l.rstrip(b"\n").partition(b"\t")
  for l in sys.stdin.buffer)]; w(b"\n")' < pairs.tsv | qef64make pairs.db pairs.db.tmp)sh";
const char* const wc_recipe =
    R"sh({ for f in docs/*; do
    printf '+%d,%d:%s->' "$(printf %s "$f" | wc -c)" "$(wc -c < "$f")" "$f"
    cat "$f"; echo
  done; echo; } | qef64make docs.db docs.db.tmp)sh";

class Recipes : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { remove_tree(dir_); }

  run_result shell(const std::string& line) {
    run_options o;
    o.cwd = dir_;
    const char* path = std::getenv("PATH");
    o.env = {"PATH=" + bin_dir() + ":" + (path ? path : "/usr/bin:/bin"),
             "LC_ALL=C.UTF-8"};
    return run({"/bin/sh", "-c", line}, "", o);
  }
  bool have(const char* tool) {
    if (shell(std::string("command -v ") + tool).status == 0) return true;
    std::printf("recipes: %s is not installed; its recipe is skipped\n", tool);
    return false;
  }
  // The database that qef64make builds from the records themselves.
  std::string build(const std::vector<text_record>& records,
                    const std::string& name = "expected.db") {
    std::string db = dir_ + "/" + name;
    run_result r =
        run({program("qef64make"), db, db + ".tmp"}, framing(records));
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(db);
  }

  std::string dir_;
};

TEST_F(Recipes, TabSeparatedFileToRecordText) {
  write_file(dir_ + "/pairs.tsv",
             "Asunci\xc3\xb3n\tParaguay\nkey\tvalue\twith a tab\nempty\t\n");
  const std::string expected = build({{"Asunci\xc3\xb3n", "Paraguay"},
                                      {"key", "value\twith a tab"},
                                      {"empty", ""}});
  const std::pair<const char*, const char*> recipes[] = {
      {"awk", awk_recipe}, {"gawk", gawk_recipe}, {"python3", python_recipe}};
  for (const auto& [tool, line] : recipes) {
    if (!have(tool)) continue;
    run_result r = shell(line);
    EXPECT_EQ(r.status, 0) << tool << ": " << r.err;
    EXPECT_TRUE(read_file(dir_ + "/pairs.db") == expected) << tool;
    std::remove((dir_ + "/pairs.db").c_str());
  }
}

TEST_F(Recipes, FilesAsValuesCountedWithWc) {
  std::string binary;
  for (int i = 0; i < 256; i++)
    binary += static_cast<char>(i);
  const std::vector<text_record> files = {
      {"docs/1-Asunci\xc3\xb3n", "Paraguay"},
      {"docs/2-lines", "one\n\ntwo\n"},
      {"docs/3-binary", binary}};
  ASSERT_EQ(shell("mkdir docs").status, 0);
  for (const text_record& f : files)
    write_file(dir_ + "/" + f.key, f.data);
  run_result r = shell(wc_recipe);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(dir_ + "/docs.db") == build(files));
}

// Dumps concatenated as they are build the first database alone.
TEST_F(Recipes, MergingDumpsKeepsEveryRecord) {
  const std::vector<text_record> a = {
      {"k", "from a\n"}, {"lines", "\n\n"}, {"nul", std::string("\0+->", 4)}};
  const std::vector<text_record> b = {
      {"k", "from b"}, {"", "\n"}, {"last", "ends in newlines\n\n"}};
  const std::vector<text_record> c = {{"c", "third"}};
  build(a, "a.db");
  build(b, "b.db");
  build(c, "c.db");
  std::vector<text_record> ab = a, abc;
  ab.insert(ab.end(), b.begin(), b.end());
  abc = ab;
  abc.insert(abc.end(), c.begin(), c.end());
  const struct {
    std::string line, db;
    const std::vector<text_record>& records;
  } merges[] = {
      {"{ qef64dump < a.db | head -c -1; qef64dump < b.db; } | "
       "qef64make ab.db ab.db.tmp",
       "ab.db", ab},
      {"{ qef64dump < a.db | sed '$d'; qef64dump < b.db; } | "
       "qef64make ab2.db ab2.db.tmp",
       "ab2.db", ab},
      {"{ for db in a.db b.db c.db; do qef64dump < \"$db\" | head -c -1; "
       "done; echo; } |\n  qef64make all.db all.db.tmp",
       "all.db", abc},
  };
  for (const auto& m : merges) {
    run_result r = shell(m.line);
    EXPECT_EQ(r.status, 0) << m.line << ": " << r.err;
    EXPECT_TRUE(read_file(dir_ + "/" + m.db) == build(m.records)) << m.line;
  }
}

}  // namespace
