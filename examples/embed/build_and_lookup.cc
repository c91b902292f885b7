// build_and_lookup db: builds a small database at the path db, in the
// process, then looks its keys up and prints what it finds. C++17 and
// <qef64/qef64.hpp>.
//
// qef64::builder writes into a temporary file beside db and renames it over
// db only once it is complete and on disk, so that a reader of db sees the
// old file or the new one, never a partial one.

#include <cstdio>
#include <qef64/qef64.hpp>
#include <system_error>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: build_and_lookup db\n");
    return 2;
  }
  try {
    qef64::builder b(argv[1]);
    b.add("red", "#ff0000");
    b.add("green", "#00ff00");
    b.add("grey", "gray");
    b.add("grey", "#808080");
    b.commit();

    qef64::database db(argv[1]);
    for (const char* key : {"red", "grey", "blue"}) {
      auto all = db.get_all(key);  // in the order added
      if (all.empty()) std::printf("%s: not found\n", key);
      for (std::string_view data : all) {
        std::printf("%s: %.*s\n", key, static_cast<int>(data.size()),
                    data.data());
      }
    }
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "build_and_lookup: %s\n", e.what());
    return 1;
  }
  return 0;
}
