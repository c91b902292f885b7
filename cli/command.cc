#include "cli/command.h"

#include <unistd.h>

#include <charconv>
#include <cstring>
#include <string_view>

#include "cli/fail.h"
#include "cli/io.h"

namespace qef64::cli {

void usage_error(const char* command, const std::string& what) {
  fail(std::string(command) + ": " + what + " (see qef64 " + command +
       " --help)");
}

int next_option(int argc, char** argv, const char* shorts, const option* longs,
                const char* help) {
  // ":" first: a missing value is told from an unknown option.
  std::string optstring = std::string(":h") + shorts;
  opterr = 0;
  int index = -1;
  int c = getopt_long(argc, argv, optstring.c_str(), longs, &index);
  if (c == 'h') print_and_exit(help);
  if (c == '?' || c == ':') {
    // optind is past the offending word, unless it was a short option
    // inside a cluster; optopt names a short option (or the value of a
    // long one).
    const char* last = argv[optind - 1];
    std::string word = std::strncmp(last, "--", 2) == 0 || optopt == 0
                           ? std::string(last)
                           : std::string("-") + static_cast<char>(optopt);
    std::size_t eq = word.find('=');
    if (eq != std::string::npos) word.resize(eq);
    usage_error(argv[0], (c == ':' ? "option '" + word + "' needs a value"
                                   : "unknown option '" + word + "'"));
  }
  return c;
}

std::uint64_t parse_bytes(const char* command, const char* option,
                          const char* text) {
  std::string_view s(text);
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  std::string_view unit(end,
                        static_cast<std::size_t>(s.data() + s.size() - end));
  int shift = -1;
  if (unit.empty())
    shift = 0;
  else if (unit == "K" || unit == "KiB")
    shift = 10;
  else if (unit == "M" || unit == "MiB")
    shift = 20;
  else if (unit == "G" || unit == "GiB")
    shift = 30;
  else if (unit == "T" || unit == "TiB")
    shift = 40;
  if (ec != std::errc() || end == s.data() || shift < 0 ||
      value > (~std::uint64_t{0} >> shift))
    usage_error(command, std::string("expected a byte count such as 67108864 "
                                     "or 64M for ") +
                             option + ", found '" + text + "'");
  return value << shift;
}

void print_and_exit(const char* text) {
  output_put(text, std::strlen(text));
  output_flush();
  ::_exit(0);
}

}  // namespace qef64::cli
