// qef64 COMMAND ...: the command for people at a shell, over the library's
// C interface. The five programs keep their positional arguments and their
// record text; this one builds from the files people have, looks many keys
// up, and answers with statuses that scripts can test.

#include <cstring>
#include <string>

#include "cli/command.h"
#include "cli/fail.h"
#include "qef64/qef64.h"

namespace {

const char help[] =
    "Usage: qef64 COMMAND [OPTION]... ARGUMENT...\n"
    "Build, read and check qef64 database files.\n"
    "\n"
    "Commands:\n"
    "  build   build DB from records in a text file (framing, tsv, csv, "
    "jsonl)\n"
    "  get     write the data of keys given, or read from a file\n"
    "  dump    write every record of DB, in a format that build reads\n"
    "  warm    read DB into the page cache, and say how much is in memory\n"
    "\n"
    "'qef64 COMMAND --help' describes a command; qef64(1) describes them all.\n"
    "\n"
    "  -h, --help     this text\n"
    "      --version  the version\n"
    "\n"
    "Exit status: 0 on success; 100 when get finds no record of some key;\n"
    "111 after a failure, which one line on standard error describes.\n";

struct command {
  const char* name;
  int (*run)(int argc, char** argv);
};

const command commands[] = {
    {"build", qef64::cli::command_build},
    {"get", qef64::cli::command_get},
    {"dump", qef64::cli::command_dump},
    {"warm", qef64::cli::command_warm},
};

}  // namespace

int main(int argc, char** argv) {
  using namespace qef64::cli;
  if (argc < 2) fail("expected a command (see qef64 --help)");
  const char* name = argv[1];
  if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0 ||
      std::strcmp(name, "help") == 0) {
    if (std::strcmp(name, "help") == 0 && argc > 2) {
      // "qef64 help build" is "qef64 build --help".
      static char help_option[] = "--help";
      char* args[] = {argv[2], help_option, nullptr};
      for (const command& c : commands) {
        if (std::strcmp(argv[2], c.name) == 0) return c.run(2, args);
      }
      fail(std::string("unknown command '") + argv[2] + "' (see qef64 --help)");
    }
    print_and_exit(help);
  }
  if (std::strcmp(name, "--version") == 0) {
    std::string version = std::string("qef64 ") + qef64_version() + "\n";
    print_and_exit(version.c_str());
  }
  for (const command& c : commands) {
    if (std::strcmp(name, c.name) == 0) return c.run(argc - 1, argv + 1);
  }
  fail(std::string(name[0] == '-' ? "unknown option '" : "unknown command '") +
       name + "' (see qef64 --help)");
}
