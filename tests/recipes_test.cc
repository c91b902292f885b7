// The recipes of docs/recipes.md, read from that file and run as written
// there, with the built programs on PATH and a UTF-8 locale: each must give
// the records byte for byte. A recipe whose tool is not installed is
// skipped with a note; a recipe the tests do not know fails.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tests/process.h"

namespace {

const char* const recipes_file = QEF64_SOURCE_DIR "/docs/recipes.md";

// The code of the recipe called name: the fenced block right after its
// "<!-- recipe: name -->" line, without the last newline.
std::string recipe(const std::string& name) {
  std::string text = read_file(recipes_file);
  std::string mark = "<!-- recipe: " + name + " -->\n";
  std::size_t at = text.find(mark);
  if (at == std::string::npos) return "";
  std::size_t open = text.find('\n', at + mark.size());
  std::size_t close = text.find("\n```", open);
  if (open == std::string::npos || close == std::string::npos) return "";
  return text.substr(open + 1, close - open - 1);
}

// Every recipe the file names, in order.
std::vector<std::string> recipe_names() {
  std::string text = read_file(recipes_file);
  std::vector<std::string> names;
  const std::string mark = "<!-- recipe: ";
  for (std::size_t at = text.find(mark); at != std::string::npos;
       at = text.find(mark, at + 1)) {
    std::size_t end = text.find(" -->", at);
    names.push_back(text.substr(at + mark.size(), end - at - mark.size()));
  }
  return names;
}

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
      {"awk", "tsv-awk"},
      {"gawk", "tsv-gawk"},
      {"python3", "tsv-python"},
      {"qef64", "tsv-command"}};
  for (const auto& [tool, name] : recipes) {
    if (!have(tool)) continue;
    std::string line = recipe(name);
    ASSERT_NE(line, "") << name;
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
  run_result r = shell(recipe("files-wc"));
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
    const char* name;
    std::string db;
    const std::vector<text_record>& records;
  } merges[] = {
      {"merge-head", "ab.db", ab},
      {"merge-sed", "ab2.db", ab},
      {"merge-many", "all.db", abc},
      {"merge-command", "ab.db", ab},
  };
  for (const auto& m : merges) {
    std::remove((dir_ + "/" + m.db).c_str());
    std::string line = recipe(m.name);
    ASSERT_NE(line, "") << m.name;
    run_result r = shell(line);
    EXPECT_EQ(r.status, 0) << line << ": " << r.err;
    EXPECT_TRUE(read_file(dir_ + "/" + m.db) == build(m.records)) << line;
  }
}

// A recipe added to the file must be run by a test here or in
// tests/python/test_recipes.py.
TEST(RecipesFile, EveryRecipeIsRun) {
  const std::set<std::string> run = {
      "tsv-command", "merge-command", "tsv-awk",   "tsv-gawk",   "tsv-python",
      "files-wc",    "merge-head",    "merge-sed", "merge-many", "tsv2qef64"};
  for (const std::string& name : recipe_names())
    EXPECT_TRUE(run.count(name) == 1) << "no test runs the recipe " << name;
  EXPECT_EQ(recipe_names().size(), run.size());
}

}  // namespace
